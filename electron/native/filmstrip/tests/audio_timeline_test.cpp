// Stamping of system audio blocks at the time they were heard, and their placement in the
// written track: back to back while the heard times agree, re-anchored after a stall or a
// jump; a gap in the stamps becomes silence and an overlap is cut off.
#include <gtest/gtest.h>

#include "audio_pulse_linux.h"
#include "media_linux.h"

namespace filmstrip {
namespace {

constexpr int kRate = 48000;

MediaTime ms(int64_t milliseconds) {
    return MediaTime::make(milliseconds, 1000);
}

struct TimelineCase {
    const char* name;
    MediaTime previousHeard;  // a 10 ms block heard then comes first, unless invalid
    MediaTime heard;
    MediaTime start;
};

TEST(AudioTimelineTest, BackToBackUnlessFarOff) {
    const TimelineCase cases[] = {
        {"first block: where it was heard", MediaTime::invalid(), ms(1000), ms(1000)},
        {"on time", ms(990), ms(1000), ms(1000)},
        {"late within the tolerance", ms(990), ms(1014), ms(1000)},
        {"early within the tolerance", ms(990), ms(986), ms(1000)},
        {"a stall beyond it", ms(990), ms(1200), ms(1200)},
        {"heard far earlier (the server's report jumped)", ms(990), ms(900), ms(900)},
        {"heard before it was read (a monitor ahead of its sink)", ms(-20), ms(-10), ms(-10)},
    };
    for (const TimelineCase& c : cases) {
        AudioTimeline timeline(kRate);
        if (c.previousHeard.isValid()) {
            timeline.stamp(c.previousHeard, 480);
        }
        EXPECT_EQ(timeline.stamp(c.heard, 480), c.start) << c.name;
    }
}

TEST(AudioTimelineTest, StampsFollowTheHeardTimesOverManyBlocks) {
    AudioTimeline timeline(kRate);
    // Reports that wobble by a few milliseconds around a steady 10 ms pace.
    const int wobble[] = {0, 3, -4, 6, -2, 5, -6, 1};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(timeline.stamp(ms(500 + 10 * i + wobble[i]), 480), ms(500 + 10 * i)) << i;
    }
}

struct PlacementCase {
    const char* name;
    int64_t expected;
    int64_t start;
    int64_t count;
    int64_t silence;
    int64_t skip;
};

TEST(PlaceAudioTest, EverySampleAtItsStamp) {
    const PlacementCase cases[] = {
        {"right after the previous block", 4800, 4800, 480, 0, 0},
        {"a gap becomes silence", 4800, 5000, 480, 200, 0},
        {"a pause cut out, seconds later", 4800, 4800 + 96000, 480, 96000, 0},
        {"an overlap is cut off", 4800, 4700, 480, 0, 100},
        {"a block wholly before what is written is dropped", 4800, 4000, 480, 0, 480},
        {"ending exactly where the track is", 4800, 4320, 480, 0, 480},
    };
    for (const PlacementCase& c : cases) {
        const AudioPlacement place = PlaceAudio(c.expected, c.start, c.count);
        EXPECT_EQ(place.silence, c.silence) << c.name;
        EXPECT_EQ(place.skip, c.skip) << c.name;
    }
}

}  // namespace
}  // namespace filmstrip

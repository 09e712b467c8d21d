// Stamping of system audio blocks: back to back while they arrive on time, re-anchored on the
// arrival time after a stall or a jump.
#include <gtest/gtest.h>

#include "audio_pulse_linux.h"

namespace filmstrip {
namespace {

constexpr int kRate = 48000;

MediaTime ms(int64_t milliseconds) {
    return MediaTime::make(milliseconds, 1000);
}

struct Case {
    const char* name;
    MediaTime arrival;
    int64_t frames;
    MediaTime expected;
    MediaTime start;
};

TEST(AudioBlockStartTest, BackToBackUnlessFarOff) {
    const Case cases[] = {
        {"first block: ends at its arrival", ms(1000), 480, MediaTime::invalid(), ms(990)},
        {"on time", ms(1010), 480, ms(1000), ms(1000)},
        {"jitter within the tolerance", ms(1045), 480, ms(1000), ms(1000)},
        {"early within the tolerance", ms(975), 480, ms(1000), ms(1000)},
        {"a stall beyond it", ms(1200), 480, ms(1000), ms(1190)},
        {"the clock far behind", ms(900), 480, ms(1000), ms(890)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AudioBlockStart(c.arrival, c.frames, kRate, c.expected), c.start) << c.name;
    }
}

}  // namespace
}  // namespace filmstrip

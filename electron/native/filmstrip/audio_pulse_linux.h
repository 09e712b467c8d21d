// System audio on Linux: the monitor of the default sink of the PulseAudio server (or of
// PipeWire's Pulse server), as 32-bit float interleaved blocks stamped on the host clock.
#pragma once

#include <functional>
#include <memory>
#include <variant>

#include "linux_sample.h"

namespace filmstrip {

inline constexpr const char* kPulseAudioDomain = "PulseAudio";

// Stamps blocks on the host clock at the moment their first frame was heard. A block whose
// heard time stays within a few milliseconds of where the previous block ended is stamped
// right after it, so that jitter in the server's timing reports does not open gaps in the
// track; further off (a stall, a jump), it is stamped where it was heard.
class AudioTimeline {
  public:
    explicit AudioTimeline(int sampleRate) : sampleRate_(sampleRate) {}
    MediaTime stamp(MediaTime heard, int64_t frames);

  private:
    int sampleRate_;
    MediaTime next_ = MediaTime::invalid();
};

class PulseAudioCapture {
  public:
    using Clock = std::function<MediaTime()>;
    using Deliver = std::function<void(std::shared_ptr<const AudioBlock> block, MediaTime pts)>;
    // The server went away or dropped the recording; called once, on the audio thread.
    using Lost = std::function<void(const Error& error)>;

    // Connects to the running audio server (never starts one) and opens a recording of the
    // default sink's monitor that stays corked until `start`; an error when no server
    // answers or it refuses the recording.
    static std::variant<std::unique_ptr<PulseAudioCapture>, Error> open(int sampleRate,
                                                                        int channels, Clock clock);
    ~PulseAudioCapture();
    PulseAudioCapture(const PulseAudioCapture&) = delete;
    PulseAudioCapture& operator=(const PulseAudioCapture&) = delete;

    // Starts the recording and waits (a few seconds at most) until the monitor yields sound:
    // an idle sink may render far ahead and hand its monitor nothing until it has played
    // that out. Blocks arrive on the audio thread from then until the object is destroyed,
    // or until the recording is lost, which `lost` then hears of.
    void start(Deliver deliver, Lost lost);

    struct Connection;

  private:
    PulseAudioCapture(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> connection_;
};

}  // namespace filmstrip

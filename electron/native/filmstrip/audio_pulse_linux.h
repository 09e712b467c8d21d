// System audio on Linux: the monitor of the default sink of the PulseAudio server (or of
// PipeWire's Pulse server), as 32-bit float interleaved blocks stamped on the host clock.
#pragma once

#include <functional>
#include <memory>
#include <variant>

#include "linux_sample.h"

namespace filmstrip {

inline constexpr const char* kPulseAudioDomain = "PulseAudio";

// The presentation time of a block of `frames` frames that arrived at `arrival`: it ended
// then, so it began `frames` earlier; while that stays within a few milliseconds of where
// the previous block ended (`expected`), the blocks are stamped back to back instead, so that
// delivery jitter does not open gaps in the track.
MediaTime AudioBlockStart(MediaTime arrival, int64_t frames, int sampleRate, MediaTime expected);

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

    // Blocks arrive on the audio thread from now until the object is destroyed, or until
    // the recording is lost, which `lost` then hears of.
    void start(Deliver deliver, Lost lost);

    struct Connection;

  private:
    PulseAudioCapture(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> connection_;
};

}  // namespace filmstrip

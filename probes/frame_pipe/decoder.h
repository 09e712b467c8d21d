#pragma once

#include <signal.h>
#include <sys/types.h>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace probes {

// The decoder's 17 arguments: decode `video` with `filter`, write BMP files to standard output.
std::vector<std::string> decoderArguments(const std::string& video, const std::string& filter);

// "fps=<rate>,scale=<width>:-2": sample at a fixed rate, then scale keeping the aspect ratio.
std::string filterText(std::string_view rate, int width);

// The decoder child process, its standard output connected to a pipe the probe reads.
// A decoder that was not waited for is stopped when its handle goes away, so that an early end
// of the probe never leaves it running or blocked on a full pipe.
class Decoder {
  public:
    // Starts `path` with `arguments`; throws std::system_error describing why it cannot start.
    static Decoder launchDecoder(const std::string& path,
                                 const std::vector<std::string>& arguments);

    Decoder(Decoder&& other) noexcept;
    Decoder& operator=(Decoder&&) = delete;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder();

    // Read end of the pipe the decoder writes its frames to.
    int frames() const { return frames_; }
    pid_t pid() const { return pid_; }

    // Waits for the decoder to exit and returns its status: its exit code, or 128 + the signal
    // number when a signal ended it.
    int waitForExit();

  private:
    Decoder(pid_t pid, int frames) : pid_(pid), frames_(frames) {}
    void closeFrames();

    pid_t pid_;
    int frames_;
};

// Signals that end a probe; the probe passes them on to its decoder.
inline constexpr int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

// While it lives, a stop signal sent to the probe also stops the decoder named by `watch` before
// the probe ends by that signal, so that a decoder busy between two sampled frames does not
// outlive the probe. Made before the decoder starts: the signals wait until `watch` knows the
// decoder (the decoder itself starts with them unblocked).
class StopDecoderOnSignal {
  public:
    StopDecoderOnSignal();
    void watch(pid_t decoder);
    ~StopDecoderOnSignal();
    StopDecoderOnSignal(const StopDecoderOnSignal&) = delete;
    StopDecoderOnSignal& operator=(const StopDecoderOnSignal&) = delete;

  private:
    struct sigaction previous_[std::size(STOP_SIGNALS)];
    sigset_t previousMask_;
    bool blocked_ = true;
};

}  // namespace probes

// The Linux media layer: the FFmpeg MP4 writer, the host clock (CLOCK_MONOTONIC), files,
// syslog, and a capture source for the shareable content and the streams: the X server with
// PulseAudio (capture_x11_linux.cpp) in the plug-in, a synthetic source
// (capture_synthetic_linux.cpp) in tests that run without an X server.
#pragma once

#include <memory>

#include "media.h"

namespace filmstrip {

// The domain of errors that carry an errno value.
inline constexpr const char* kPosixErrorDomain = "POSIX";

// The synthetic capture source: one display and one window showing a moving test pattern,
// and a tone on the audio output.
struct SyntheticSource {
    static constexpr uint32_t kDisplayID = 1;
    static constexpr int64_t kDisplayWidth = 1280;
    static constexpr int64_t kDisplayHeight = 720;
    static constexpr uint32_t kWindowID = 2;
    static constexpr Rect kWindowFrame = {64, 64, 640, 480, false};
    static constexpr const char* kWindowTitle = "Test pattern";
    static constexpr const char* kApplication = "filmstrip-test-pattern";
};

struct ContentResult {
    std::optional<ShareableContent> content;
    MaybeError error;
};

// What can be captured, and the streams that capture it. Calls may block briefly; the
// content is asked for on the platform completion queue.
class CaptureSource {
  public:
    virtual ~CaptureSource() = default;
    virtual ContentResult shareableContent() = 0;
    virtual std::optional<DisplayMode> displayMode(uint32_t displayID) = 0;
    virtual std::optional<std::vector<uint32_t>> displaysWithPoint(double x, double y,
                                                                   uint32_t maxDisplays) = 0;
    virtual uint32_t mainDisplayID() = 0;
    virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                      const StreamConfiguration& configuration,
                                                      std::weak_ptr<StreamListener> listener,
                                                      Media& media, Executor& completions) = 0;
};

std::unique_ptr<CaptureSource> MakeX11CaptureSource();
std::unique_ptr<CaptureSource> MakeSyntheticCaptureSource();

// The Linux media layer over a capture source; PlatformMedia() is one of them, made once per
// process.
std::shared_ptr<Media> MakeLinuxMedia(std::unique_ptr<CaptureSource> source);

// Where a block of audio goes in a track whose next sample is due at `expected` (in samples):
// at its own stamp `start`, so a gap before it is filled with `silence` samples and the part
// that overlaps what is already written (`skip` samples, at most the whole block) is cut off.
struct AudioPlacement {
    int64_t silence = 0;
    int64_t skip = 0;
};
AudioPlacement PlaceAudio(int64_t expected, int64_t start, int64_t count);

WriterResult MakeFFmpegWriter(const std::string& path, Executor& completions);

}  // namespace filmstrip

// The Linux media layer: the FFmpeg MP4 writer, the host clock (CLOCK_MONOTONIC), files,
// syslog, and the capture source. Until X11 capture exists, the shareable content and the
// streams come from the synthetic source (capture_synthetic_linux.cpp).
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

// The Linux media layer; PlatformMedia() is one of them, made once per process.
std::shared_ptr<Media> MakeLinuxMedia();

std::shared_ptr<CaptureStream> MakeSyntheticStream(const StreamConfiguration& configuration,
                                                   std::weak_ptr<StreamListener> listener,
                                                   Media& media, Executor& completions);
WriterResult MakeFFmpegWriter(const std::string& path, Executor& completions);

}  // namespace filmstrip

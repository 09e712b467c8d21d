// The recorder on the real Linux media layer, on its real threads (capture, writer, platform
// completions): quick start, pause, resume and stop cycles, each completion awaited once.
// Built into the ThreadSanitizer run.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "media_linux.h"
#include "screen_recorder.h"

namespace filmstrip {
namespace {

TEST(LinuxRecordingTest, StartPauseResumeStopCycles) {
    const auto directory = std::filesystem::temp_directory_path() /
                           ("filmstrip-linux-recording-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    auto recorder = ScreenRecorder::create(MakeLinuxMedia(MakeSyntheticCaptureSource()));
    for (int cycle = 0; cycle < 6; ++cycle) {
        const std::string path = (directory / (std::to_string(cycle) + ".mp4")).string();
        // H.264 only: x265's thread pool races inside libnuma, which is not ours to check.
        const CaptureOptions options{cycle % 3 == 1, false, cycle % 2 == 0, 30};
        std::promise<MaybeError> started;
        recorder->startRecordingDisplay(SyntheticSource::kDisplayID, path,
                                        Rect{0, 0, 64, 48, false}, options,
                                        [&started](MaybeError error) { started.set_value(error); });
        const MaybeError startError = started.get_future().get();
        ASSERT_FALSE(startError) << startError->description;
        recorder->pauseRecording();
        recorder->resumeRecording();

        std::promise<std::pair<std::optional<std::string>, MaybeError>> stopped;
        recorder->stopRecording([&stopped](std::optional<std::string> file, MaybeError error) {
            stopped.set_value({file, error});
        });
        const auto [file, error] = stopped.get_future().get();
        // Either the first frame made it into the file, or none did and the file is gone.
        if (file) {
            EXPECT_EQ(*file, path);
            EXPECT_TRUE(std::filesystem::exists(path));
        } else {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code, 7) << error->description;
            EXPECT_FALSE(std::filesystem::exists(path));
        }
    }
    recorder.reset();
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace filmstrip

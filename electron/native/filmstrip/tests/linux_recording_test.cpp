// The recorder on the real Linux media layer, on its real threads (capture, writer, platform
// completions): quick start, pause, resume and stop cycles, each completion awaited once.
// Built into the ThreadSanitizer run.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <csignal>
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

TEST(LinuxRecordingTest, AWriterThatFailsMidTakeEndsItOnce) {
    const auto directory = std::filesystem::temp_directory_path() /
                           ("filmstrip-linux-failing-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const std::string path = (directory / "take.mp4").string();
    auto recorder = ScreenRecorder::create(MakeLinuxMedia(MakeSyntheticCaptureSource()));
    std::atomic<int> notices{0};
    std::promise<std::pair<std::string, bool>> noticed;
    recorder->setOnStoppedUnexpectedly([&](const std::string& message, bool wroteVideo) {
        if (++notices == 1) {
            noticed.set_value({message, wroteVideo});
        }
    });
    std::promise<MaybeError> started;
    recorder->startRecordingDisplay(SyntheticSource::kDisplayID, path, Rect{0, 0, 64, 48, false},
                                    CaptureOptions{false, false, true, 30},
                                    [&started](MaybeError error) { started.set_value(error); });
    ASSERT_FALSE(started.get_future().get());
    // No byte past the movie header fits: the first fragment fails to reach the file.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit unlimited = limit;
    limit.rlim_cur = std::filesystem::file_size(path);
    setrlimit(RLIMIT_FSIZE, &limit);
    auto notice = noticed.get_future();
    const bool told = notice.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    setrlimit(RLIMIT_FSIZE, &unlimited);
    ASSERT_TRUE(told);
    const auto [message, wroteVideo] = notice.get();
    EXPECT_EQ(message, "Cannot write to " + path + ": File too large");
    EXPECT_TRUE(wroteVideo);
    std::promise<MaybeError> stopped;
    recorder->stopRecording(
        [&stopped](std::optional<std::string>, MaybeError error) { stopped.set_value(error); });
    const MaybeError stopError = stopped.get_future().get();
    ASSERT_TRUE(stopError);
    EXPECT_EQ(stopError->code, 4);
    EXPECT_EQ(notices, 1);
    recorder.reset();
    std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace filmstrip

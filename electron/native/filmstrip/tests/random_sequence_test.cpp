// Random sequences of start, pause, resume, stop and stream death on real threads (a main
// queue, a platform completion queue and a sample thread), checking that every completion
// runs exactly once and that the recorder always comes back to idle.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "media_fake.h"
#include "screen_recorder.h"
#include "serial_executor.h"

namespace filmstrip {
namespace {

using fake::FakeMedia;
using fake::FakeSample;

class RandomSequenceTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomSequenceTest, EveryCallbackRunsExactlyOnce) {
    constexpr int kOperations = 300;
    constexpr int kSamples = 2000;
    std::mt19937 random(GetParam());

    std::vector<std::atomic<int>> startCalls(kOperations);
    std::vector<std::atomic<int>> stopCalls(kOperations);
    std::atomic<int> notices{0};
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};
    {
        SerialExecutor completions;
        auto media = std::make_shared<FakeMedia>(completions);
        media->content.displays = {{1, 640, 480}};
        auto recorder = ScreenRecorder::create(media);
        recorder->setOnStoppedUnexpectedly([&](const std::string&, bool) { ++notices; });
        {
            SerialExecutor mainQueue;
            std::thread sampler([&media] {
                for (int i = 0; i < kSamples; ++i) {
                    media->setHostSeconds(i / 100.0);
                    const auto type = i % 3 == 0 ? OutputType::Audio : OutputType::Screen;
                    auto sample =
                        type == OutputType::Audio
                            ? FakeSample::audio(MediaTime::make(i, 100), MediaTime::make(1, 100))
                            : FakeSample::video(MediaTime::make(i, 100), MediaTime::make(1, 100), i,
                                                i % 5 != 0);
                    media->deliver(sample, type);
                }
            });
            std::uniform_int_distribution<int> pick(0, 5);
            for (int op = 0; op < kOperations; ++op) {
                switch (pick(random)) {
                    case 0:
                    case 1:
                        mainQueue.async([&, op] {
                            ++starts;
                            recorder->startRecordingDisplay(
                                1, "/tmp/random.mp4", Rect::nullRect(),
                                CaptureOptions{false, false, op % 2 == 0, 30},
                                [&, op](MaybeError) { ++startCalls[op]; });
                        });
                        break;
                    case 2:
                        mainQueue.async([&] { recorder->pauseRecording(); });
                        break;
                    case 3:
                        mainQueue.async([&] { recorder->resumeRecording(); });
                        break;
                    case 4:
                        mainQueue.async([&, op] {
                            ++stops;
                            recorder->stopRecording([&, op](auto, MaybeError) { ++stopCalls[op]; });
                        });
                        break;
                    default:
                        completions.async([media] {
                            media->killStream(Error{"PlatformDomain", 1, "gone"});
                        });
                        break;
                }
            }
            sampler.join();
        }  // the main queue has run everything it was given
    }      // the completion queue has run everything, including work queued while draining

    int startsCalled = 0;
    int stopsCalled = 0;
    for (int op = 0; op < kOperations; ++op) {
        EXPECT_LE(startCalls[op].load(), 1) << "start " << op;
        EXPECT_LE(stopCalls[op].load(), 1) << "stop " << op;
        startsCalled += startCalls[op];
        stopsCalled += stopCalls[op];
    }
    EXPECT_EQ(startsCalled, starts.load());
    EXPECT_EQ(stopsCalled, stops.load());
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomSequenceTest, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
}  // namespace filmstrip

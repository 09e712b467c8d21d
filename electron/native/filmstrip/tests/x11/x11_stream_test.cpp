// The X11 capture stream on its own threads against a private X server (run under
// tools/with-xvfb, also in the ThreadSanitizer run): the content lists the server's display,
// pictures arrive at the configured size and format, and none arrives after the stop.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>

#include "linux_sample.h"
#include "media_linux.h"

namespace filmstrip {
namespace {

constexpr int kSamplesToWaitFor = 5;

class CountingListener final : public StreamListener {
  public:
    void streamDidOutputSample(const std::shared_ptr<Sample>& sample, OutputType type) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ASSERT_EQ(type, OutputType::Screen);
        const auto& delivered = static_cast<const LinuxSample&>(*sample);
        if (delivered.frame()) {
            pictures.push_back(delivered.frame());
        }
        ++samples;
        if (stopped) {
            ++afterStop;
        }
        arrived_.notify_all();
    }
    void streamDidStopWithError(const MaybeError& error) override {
        ADD_FAILURE() << "unexpected end: " << (error ? error->description : "");
    }

    void waitForSamples(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait(lock, [&] { return samples >= count; });
    }
    void markStopped() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped = true;
    }

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::shared_ptr<const VideoFrame>> pictures;
    int samples = 0;
    bool stopped = false;
    int afterStop = 0;
};

ShareableContent content(Media& media) {
    std::promise<ContentResult> result;
    media.getShareableContent([&](std::optional<ShareableContent> found, MaybeError error) {
        result.set_value({std::move(found), std::move(error)});
    });
    ContentResult answer = result.get_future().get();
    EXPECT_FALSE(answer.error) << answer.error->description;
    return answer.content.value_or(ShareableContent{});
}

MaybeError await(const std::function<void(std::function<void(MaybeError)>)>& operation) {
    std::promise<MaybeError> done;
    operation([&done](MaybeError error) { done.set_value(std::move(error)); });
    return done.get_future().get();
}

class X11StreamTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(X11StreamTest, PicturesAtTheConfiguredSizeUntilStopped) {
    const std::shared_ptr<Media> media = MakeLinuxMedia(MakeX11CaptureSource());
    const ShareableContent found = content(*media);
    ASSERT_FALSE(found.displays.empty());
    const ContentDisplay display = found.displays.front();
    const std::optional<DisplayMode> mode = media->displayMode(display.displayID);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->pixelWidth, mode->width);  // scale 1

    ContentFilter filter;
    filter.display = display;
    StreamConfiguration config;
    config.sourceRect = Rect{10, 20, 64, 48, false};
    config.width = 64;
    config.height = 48;
    config.minimumFrameInterval = MediaTime::make(1, 60);
    config.pixelFormat = GetParam();
    auto listener = std::make_shared<CountingListener>();
    const std::shared_ptr<CaptureStream> stream = media->makeStream(filter, config, listener);
    ASSERT_FALSE(stream->addStreamOutput(OutputType::Screen));
    ASSERT_FALSE(await([&](auto done) { stream->startCapture(done); }));
    listener->waitForSamples(kSamplesToWaitFor);
    ASSERT_FALSE(await([&](auto done) { stream->stopCapture(done); }));
    listener->markStopped();

    std::lock_guard<std::mutex> lock(listener->mutex_);
    // An unchanging screen: one picture, then samples without an image.
    ASSERT_EQ(listener->pictures.size(), 1u);
    const VideoFrame& picture = *listener->pictures.front();
    EXPECT_EQ(picture.width, 64);
    EXPECT_EQ(picture.height, 48);
    EXPECT_EQ(picture.pixelFormat, GetParam());
    EXPECT_EQ(listener->afterStop, 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, X11StreamTest,
                         ::testing::Values(kPixelFormatBGRA, kPixelFormat420v, kPixelFormat420f));

TEST(X11SourceTest, AStreamOfAWindowThatIsGoneDoesNotStart) {
    const std::shared_ptr<Media> media = MakeLinuxMedia(MakeX11CaptureSource());
    ContentFilter filter;
    filter.kind = ContentFilter::Kind::Window;
    filter.window.windowID = 0x7ffffff;
    StreamConfiguration config;
    config.width = config.height = 100;
    config.minimumFrameInterval = MediaTime::make(1, 30);
    config.pixelFormat = kPixelFormatBGRA;
    auto listener = std::make_shared<CountingListener>();
    const std::shared_ptr<CaptureStream> stream = media->makeStream(filter, config, listener);
    const MaybeError error = await([&](auto done) { stream->startCapture(done); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "The window was closed");
}

}  // namespace
}  // namespace filmstrip

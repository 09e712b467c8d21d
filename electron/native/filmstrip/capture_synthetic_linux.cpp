// The synthetic capture source: a test pattern at the configured size and frame rate whose
// picture moves four times a second (the frames in between are status-only samples without an
// image, as an idle screen delivers them), and a 440 Hz tone in 10 ms blocks. Every sample
// is stamped on the host clock when it is produced.
#include <algorithm>
#include <chrono>
#include <cmath>

#include "capture_thread_linux.h"
#include "linux_sample.h"
#include "media_linux.h"

namespace filmstrip {
namespace {

constexpr int kPicturesPerSecond = 4;
constexpr int kMaxFramesPerSecond = 120;  // no display refreshes faster
constexpr int kAudioBlockFrames = 480;    // 10 ms at 48 kHz
constexpr double kToneHz = 440;
constexpr float kToneLevel = 0.25f;

std::shared_ptr<const VideoFrame> drawPattern(const StreamConfiguration& config, int64_t picture) {
    auto frame = std::make_shared<VideoFrame>();
    frame->width = static_cast<int>(config.width);
    frame->height = static_cast<int>(config.height);
    frame->pixelFormat = config.pixelFormat;
    const int width = frame->width;
    const int height = frame->height;
    // A bright bar that moves right by an eighth of the width per picture over a background
    // whose shade steps with the picture number.
    const int barWidth = std::max(width / 8, 1);
    const int barX = static_cast<int>((picture * barWidth) % std::max(width, 1));
    const auto shade = static_cast<uint8_t>(32 + (picture * 24) % 160);
    auto inBar = [&](int x) { return x >= barX && x < barX + barWidth; };
    if (config.pixelFormat == kPixelFormatBGRA) {
        frame->strides[0] = width * 4;
        frame->planes[0].resize(static_cast<size_t>(width) * 4 * static_cast<size_t>(height));
        uint8_t* row = frame->planes[0].data();
        for (int y = 0; y < height; ++y, row += frame->strides[0]) {
            for (int x = 0; x < width; ++x) {
                const uint8_t value = inBar(x) ? 235 : shade;
                uint8_t* pixel = row + x * 4;
                pixel[0] = value;
                pixel[1] = static_cast<uint8_t>(value / 2 + y % 64);
                pixel[2] = static_cast<uint8_t>(255 - value);
                pixel[3] = 255;
            }
        }
        return frame;
    }
    frame->strides[0] = width;
    frame->strides[1] = width + width % 2;
    frame->planes[0].resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    frame->planes[1].assign(
        static_cast<size_t>(frame->strides[1]) * static_cast<size_t>((height + 1) / 2), 128);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            frame->planes[0][static_cast<size_t>(y) * static_cast<size_t>(width) +
                             static_cast<size_t>(x)] = inBar(x) ? 235 : shade;
        }
    }
    return frame;
}

class SyntheticStream final : public CaptureStream,
                              public std::enable_shared_from_this<SyntheticStream> {
  public:
    SyntheticStream(const StreamConfiguration& config, std::weak_ptr<StreamListener> listener,
                    Media& media, Executor& completions)
        : config_(config),
          listener_(std::move(listener)),
          media_(media),
          completions_(completions) {}

    ~SyntheticStream() override { thread_.stop(); }

    MaybeError addStreamOutput(OutputType type) override {
        thread_.addOutput(type);
        return std::nullopt;
    }

    void removeStreamOutput(OutputType type) override { thread_.removeOutput(type); }

    void startCapture(std::function<void(MaybeError)> completion) override {
        // A running capture keeps its listener alive.
        thread_.start([this, listener = listener_.lock()] { run(listener); });
        completions_.async([completion = std::move(completion)] { completion(std::nullopt); });
    }

    void stopCapture(std::function<void(MaybeError)> completion) override {
        thread_.stop();
        completions_.async([completion = std::move(completion)] { completion(std::nullopt); });
    }

  private:
    void run(std::shared_ptr<StreamListener> listener) {
        const int framerate = std::clamp(
            config_.minimumFrameInterval.timescale /
                static_cast<int32_t>(std::max<int64_t>(config_.minimumFrameInterval.value, 1)),
            1, kMaxFramesPerSecond);
        const auto frameInterval = std::chrono::nanoseconds(1'000'000'000 / framerate);
        const auto audioInterval = std::chrono::milliseconds(10);
        const MediaTime start = media_.hostTime();
        const auto startSteady = std::chrono::steady_clock::now();
        int64_t frames = 0;
        int64_t audioBlocks = 0;
        int64_t lastPicture = -1;
        for (;;) {
            const auto nextFrame = startSteady + frames * frameInterval;
            const auto nextAudio = startSteady + audioBlocks * audioInterval;
            const bool audioDue = config_.capturesAudio && nextAudio < nextFrame;
            if (!thread_.sleepUntil(audioDue ? nextAudio : nextFrame)) {
                break;
            }
            if (audioDue) {
                deliverAudio(*listener, start, audioBlocks++);
            } else {
                const int64_t picture = frames * kPicturesPerSecond / framerate;
                deliverFrame(*listener, start, frames++, framerate, picture != lastPicture);
                lastPicture = picture;
            }
        }
    }

    void deliverFrame(StreamListener& listener, MediaTime start, int64_t index, int framerate,
                      bool changed) {
        if (!thread_.wants(OutputType::Screen)) {
            return;
        }
        const MediaTime pts = start + MediaTime::make(index, framerate);
        auto frame =
            changed ? drawPattern(config_, index * kPicturesPerSecond / framerate) : nullptr;
        listener.streamDidOutputSample(
            std::make_shared<LinuxSample>(
                std::move(frame), nullptr,
                SampleTiming{MediaTime::make(1, framerate), pts, MediaTime::invalid()}),
            OutputType::Screen);
    }

    void deliverAudio(StreamListener& listener, MediaTime start, int64_t index) {
        if (!thread_.wants(OutputType::Audio)) {
            return;
        }
        const int rate = config_.sampleRate;
        const int channels = config_.channelCount;
        auto block = std::make_shared<AudioBlock>();
        block->sampleRate = rate;
        block->channels = channels;
        block->interleaved.resize(static_cast<size_t>(kAudioBlockFrames * channels));
        const int64_t first = index * kAudioBlockFrames;
        for (int i = 0; i < kAudioBlockFrames; ++i) {
            const double phase = 2 * M_PI * kToneHz * static_cast<double>(first + i) / rate;
            const auto value = static_cast<float>(kToneLevel * std::sin(phase));
            for (int c = 0; c < channels; ++c) {
                block->interleaved[static_cast<size_t>(i * channels + c)] = value;
            }
        }
        const MediaTime pts = start + MediaTime::make(first, rate);
        listener.streamDidOutputSample(
            std::make_shared<LinuxSample>(
                nullptr, std::move(block),
                SampleTiming{MediaTime::make(kAudioBlockFrames, rate), pts, pts}),
            OutputType::Audio);
    }

    const StreamConfiguration config_;
    const std::weak_ptr<StreamListener> listener_;
    Media& media_;
    Executor& completions_;
    CaptureThread thread_;
};

// One display and one window showing the test pattern; the window belongs to an application
// of its own.
class SyntheticCaptureSource final : public CaptureSource {
  public:
    ContentResult shareableContent() override {
        const ContentApplication application{SyntheticSource::kApplication};
        ShareableContent content;
        content.displays.push_back({SyntheticSource::kDisplayID, SyntheticSource::kDisplayWidth,
                                    SyntheticSource::kDisplayHeight});
        content.applications.push_back(application);
        content.windows.push_back({SyntheticSource::kWindowID, SyntheticSource::kWindowFrame,
                                   SyntheticSource::kWindowTitle, application});
        return {std::move(content), std::nullopt};
    }

    std::optional<DisplayMode> displayMode(uint32_t displayID) override {
        if (displayID != SyntheticSource::kDisplayID) {
            return std::nullopt;
        }
        const auto width = static_cast<uint64_t>(SyntheticSource::kDisplayWidth);
        return DisplayMode{width, static_cast<uint64_t>(SyntheticSource::kDisplayHeight), width};
    }

    std::optional<std::vector<uint32_t>> displaysWithPoint(double x, double y,
                                                           uint32_t maxDisplays) override {
        std::vector<uint32_t> found;
        if (maxDisplays > 0 && x >= 0 && y >= 0 &&
            x < static_cast<double>(SyntheticSource::kDisplayWidth) &&
            y < static_cast<double>(SyntheticSource::kDisplayHeight)) {
            found.push_back(SyntheticSource::kDisplayID);
        }
        return found;
    }

    uint32_t mainDisplayID() override { return SyntheticSource::kDisplayID; }

    std::shared_ptr<CaptureStream> makeStream(const ContentFilter&,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamListener> listener, Media& media,
                                              Executor& completions) override {
        return std::make_shared<SyntheticStream>(configuration, std::move(listener), media,
                                                 completions);
    }
};

}  // namespace

std::unique_ptr<CaptureSource> MakeSyntheticCaptureSource() {
    return std::make_unique<SyntheticCaptureSource>();
}

}  // namespace filmstrip

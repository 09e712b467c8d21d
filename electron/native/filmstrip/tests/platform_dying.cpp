// The media layer of the test build of the plug-in: the Linux layer, except that every capture
// stream ends on its own, with an error, after its third picture, the way a display that is
// unplugged ends a real one. It lets JavaScript tests see the stream-stopped callback.
#include <mutex>

#include "media_linux.h"

namespace filmstrip {
namespace {

constexpr int kPicturesBeforeTheEnd = 3;
const Error kDisplayGone{"TestCapture", 1, "The test display went away"};

// Passes samples on until the stream "dies", then reports the end once and drops the rest.
class DyingListener final : public StreamListener {
  public:
    explicit DyingListener(std::weak_ptr<StreamListener> target) : target_(std::move(target)) {}

    void streamDidOutputSample(const std::shared_ptr<Sample>& sample, OutputType type) override {
        bool diesNow = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (dead_) {
                return;
            }
            if (type == OutputType::Screen && sample->hasImageBuffer() &&
                ++pictures_ > kPicturesBeforeTheEnd) {
                dead_ = diesNow = true;
            }
        }
        if (auto target = target_.lock()) {
            if (diesNow) {
                target->streamDidStopWithError(kDisplayGone);
            } else {
                target->streamDidOutputSample(sample, type);
            }
        }
    }

    void streamDidStopWithError(const MaybeError& error) override {
        if (auto target = target_.lock()) {
            target->streamDidStopWithError(error);
        }
    }

  private:
    const std::weak_ptr<StreamListener> target_;
    std::mutex mutex_;
    int pictures_ = 0;
    bool dead_ = false;
};

class DyingStream final : public CaptureStream {
  public:
    DyingStream(std::shared_ptr<DyingListener> listener, std::shared_ptr<CaptureStream> stream)
        : listener_(std::move(listener)), stream_(std::move(stream)) {}
    MaybeError addStreamOutput(OutputType type) override { return stream_->addStreamOutput(type); }
    void removeStreamOutput(OutputType type) override { stream_->removeStreamOutput(type); }
    void startCapture(std::function<void(MaybeError)> completion) override {
        stream_->startCapture(std::move(completion));
    }
    void stopCapture(std::function<void(MaybeError)> completion) override {
        stream_->stopCapture(std::move(completion));
    }

  private:
    const std::shared_ptr<DyingListener> listener_;
    const std::shared_ptr<CaptureStream> stream_;
};

class DyingMedia final : public Media {
  public:
    void getShareableContent(
        std::function<void(std::optional<ShareableContent>, MaybeError)> completion) override {
        media_->getShareableContent(std::move(completion));
    }
    std::string hostApplicationIdentifier() override { return media_->hostApplicationIdentifier(); }
    std::optional<DisplayMode> displayMode(uint32_t displayID) override {
        return media_->displayMode(displayID);
    }
    std::optional<std::vector<uint32_t>> displaysWithPoint(double x, double y,
                                                           uint32_t maxDisplays) override {
        return media_->displaysWithPoint(x, y, maxDisplays);
    }
    uint32_t mainDisplayID() override { return media_->mainDisplayID(); }
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamListener> listener) override {
        auto dying = std::make_shared<DyingListener>(std::move(listener));
        return std::make_shared<DyingStream>(dying,
                                             media_->makeStream(filter, configuration, dying));
    }
    WriterResult makeMP4Writer(const std::string& path) override {
        return media_->makeMP4Writer(path);
    }
    MediaTime hostTime() override { return media_->hostTime(); }
    bool fileExists(const std::string& path) override { return media_->fileExists(path); }
    MaybeError removeFile(const std::string& path) override { return media_->removeFile(path); }
    void log(const std::string& line) override { media_->log(line); }

  private:
    const std::shared_ptr<Media> media_ = MakeLinuxMedia(MakeSyntheticCaptureSource());
};

}  // namespace

std::shared_ptr<Media> PlatformMedia() {
    static auto* media = new std::shared_ptr<Media>(std::make_shared<DyingMedia>());
    return *media;
}

}  // namespace filmstrip

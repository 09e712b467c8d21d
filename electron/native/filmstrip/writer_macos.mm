// The MP4 writer over AVFoundation: AVAssetWriter with its video and audio inputs, the
// compression keys of VideoToolbox.
#import <AVFoundation/AVFoundation.h>
#import <CoreAudioTypes/CoreAudioTypes.h>
#import <VideoToolbox/VideoToolbox.h>

#include <mutex>

#include "media_macos.h"
#include "sample_macos.h"

namespace filmstrip {
namespace {

NSDictionary* VideoOutputSettings(const VideoSettings& video) {
    NSMutableDictionary* compression = [NSMutableDictionary dictionary];
    if (video.realTime) {
        compression[(__bridge NSString*)kVTCompressionPropertyKey_RealTime] = @(*video.realTime);
    }
    if (video.averageBitRate) {
        compression[AVVideoAverageBitRateKey] = @(*video.averageBitRate);
    }
    if (video.expectedSourceFrameRate) {
        compression[AVVideoExpectedSourceFrameRateKey] = @(*video.expectedSourceFrameRate);
    }
    if (video.maxKeyFrameInterval) {
        compression[AVVideoMaxKeyFrameIntervalKey] = @(*video.maxKeyFrameInterval);
    }
    if (video.profileLevel) {
        compression[AVVideoProfileLevelKey] =
            *video.profileLevel == kProfileLevelHEVCMainAuto
                ? (__bridge NSString*)kVTProfileLevel_HEVC_Main_AutoLevel
                : AVVideoProfileLevelH264HighAutoLevel;
    }
    if (video.allowFrameReordering) {
        compression[AVVideoAllowFrameReorderingKey] = @(*video.allowFrameReordering);
    }
    return @{
        AVVideoCodecKey : video.codec == VideoCodec::HEVC ? AVVideoCodecTypeHEVC
                                                          : AVVideoCodecTypeH264,
        AVVideoWidthKey : @(video.width),
        AVVideoHeightKey : @(video.height),
        AVVideoCompressionPropertiesKey : compression,
    };
}

NSDictionary* AudioOutputSettings(const AudioSettings& audio) {
    AudioChannelLayout layout = {};
    layout.mChannelLayoutTag = audio.channelLayoutTag;
    layout.mChannelBitmap = static_cast<AudioChannelBitmap>(audio.channelBitmap);
    layout.mNumberChannelDescriptions = 0;
    return @{
        AVFormatIDKey : @(audio.formatID),
        AVNumberOfChannelsKey : @(audio.channels),
        AVSampleRateKey : @(audio.sampleRate),
        AVChannelLayoutKey :
            [NSData dataWithBytes:&layout
                           length:offsetof(AudioChannelLayout, mChannelDescriptions)],
        AVEncoderBitRateKey : @(audio.bitRate),
    };
}

// An input that AVFoundation refused to create (invalid settings raise) is kept as nil: the
// writer then cannot add it.
AVAssetWriterInput* MakeInput(AVMediaType type, NSDictionary* settings) {
    @try {
        return [[AVAssetWriterInput alloc] initWithMediaType:type outputSettings:settings];
    } @catch (NSException*) {
        return nil;
    }
}

// AVFoundation raises (NSInternalInconsistencyException) when a call no longer fits the writer's
// state, e.g. on a writer that failed in between; raised on a GCD thread it would abort the
// host. The first exception caught is kept, shared by a writer and its inputs, and from then on
// the writer reads as failed with that exception's reason as its error.
class Raised {
  public:
    template <typename Call>
    bool guard(Call call) {
        @try {
            call();
            return true;
        } @catch (NSException* exception) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!error_) {
                const char* name = exception.name.UTF8String;
                const char* reason = exception.reason.UTF8String;
                error_ = Error{name != nullptr ? name : "NSException", 0,
                               reason != nullptr ? reason : "AVFoundation raised an exception"};
            }
            return false;
        }
    }
    MaybeError error() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }

  private:
    mutable std::mutex mutex_;
    MaybeError error_;
};

class AVInput final : public WriterInput {
  public:
    AVInput(AVAssetWriterInput* input, std::shared_ptr<Raised> raised)
        : input_(input), raised_(std::move(raised)) {}
    AVAssetWriterInput* input() const { return input_; }

    void setExpectsMediaDataInRealTime(bool realTime) override {
        raised_->guard([&] { input_.expectsMediaDataInRealTime = realTime; });
    }
    bool isReadyForMoreMediaData() const override {
        bool ready = false;
        raised_->guard([&] { ready = input_.isReadyForMoreMediaData; });
        return ready;
    }
    bool appendSample(const std::shared_ptr<Sample>& sample) override {
        bool appended = false;
        raised_->guard([&] {
            appended = [input_ appendSampleBuffer:static_cast<const MacSample&>(*sample).buffer()];
        });
        return appended;
    }
    void markAsFinished() override {
        raised_->guard([&] { [input_ markAsFinished]; });
    }

  private:
    AVAssetWriterInput* input_;
    std::shared_ptr<Raised> raised_;
};

class AVWriter final : public AssetWriter {
  public:
    explicit AVWriter(AVAssetWriter* writer) : writer_(writer) {}

    void setShouldOptimizeForNetworkUse(bool optimize) override {
        raised_->guard([&] { writer_.shouldOptimizeForNetworkUse = optimize; });
    }
    void setMovieFragmentInterval(MediaTime interval) override {
        raised_->guard([&] { writer_.movieFragmentInterval = CMTimeFromMediaTime(interval); });
    }
    std::shared_ptr<WriterInput> makeVideoInput(const VideoSettings& settings) override {
        return std::make_shared<AVInput>(MakeInput(AVMediaTypeVideo, VideoOutputSettings(settings)),
                                         raised_);
    }
    std::shared_ptr<WriterInput> makeAudioInput(const AudioSettings& settings) override {
        return std::make_shared<AVInput>(MakeInput(AVMediaTypeAudio, AudioOutputSettings(settings)),
                                         raised_);
    }
    bool canAddInput(const std::shared_ptr<WriterInput>& input) override {
        AVAssetWriterInput* avInput = static_cast<AVInput&>(*input).input();
        bool can = false;
        raised_->guard([&] { can = avInput != nil && [writer_ canAddInput:avInput]; });
        return can;
    }
    void addInput(const std::shared_ptr<WriterInput>& input) override {
        raised_->guard([&] { [writer_ addInput:static_cast<AVInput&>(*input).input()]; });
    }
    bool startWriting() override {
        bool started = false;
        raised_->guard([&] { started = [writer_ startWriting]; });
        return started;
    }
    WriterStatus status() const override {
        return raised_->error() ? WriterStatus::Failed : static_cast<WriterStatus>(writer_.status);
    }
    MaybeError error() const override {
        if (MaybeError raised = raised_->error()) {
            return raised;
        }
        return ErrorFromNSError(writer_.error);
    }
    void startSession(MediaTime sourceTime) override {
        raised_->guard([&] { [writer_ startSessionAtSourceTime:CMTimeFromMediaTime(sourceTime)]; });
    }
    void endSession(MediaTime sourceTime) override {
        raised_->guard([&] { [writer_ endSessionAtSourceTime:CMTimeFromMediaTime(sourceTime)]; });
    }
    // The completion runs once: from AVFoundation's handler, or here when the call raised
    // (then no handler is ever called).
    void finishWriting(std::function<void()> completion) override {
        const bool asked = raised_->guard([&] {
            [writer_ finishWritingWithCompletionHandler:^{
              completion();
            }];
        });
        if (!asked) {
            completion();
        }
    }
    void cancelWriting() override {
        raised_->guard([&] { [writer_ cancelWriting]; });
    }

  private:
    AVAssetWriter* writer_;
    std::shared_ptr<Raised> raised_ = std::make_shared<Raised>();
};

}  // namespace

WriterResult MakeAVAssetWriter(const std::string& path) {
    NSString* filePath = NSStringFromUTF8(path);
    if (filePath == nil) {
        return {nullptr, InvalidFileNameError(NSFileWriteInvalidFileNameError)};
    }
    NSError* error = nil;
    AVAssetWriter* writer = [[AVAssetWriter alloc] initWithURL:[NSURL fileURLWithPath:filePath]
                                                      fileType:AVFileTypeMPEG4
                                                         error:&error];
    return {writer == nil ? nullptr : std::make_shared<AVWriter>(writer), ErrorFromNSError(error)};
}

}  // namespace filmstrip

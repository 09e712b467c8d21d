// The MP4 writer over AVFoundation: AVAssetWriter with its video and audio inputs, the
// compression keys of VideoToolbox.
#import <AVFoundation/AVFoundation.h>
#import <CoreAudioTypes/CoreAudioTypes.h>
#import <VideoToolbox/VideoToolbox.h>

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

class AVInput final : public WriterInput {
  public:
    explicit AVInput(AVAssetWriterInput* input) : input_(input) {}
    AVAssetWriterInput* input() const { return input_; }

    void setExpectsMediaDataInRealTime(bool realTime) override {
        input_.expectsMediaDataInRealTime = realTime;
    }
    bool isReadyForMoreMediaData() const override { return input_.isReadyForMoreMediaData; }
    bool appendSample(const std::shared_ptr<Sample>& sample) override {
        return [input_ appendSampleBuffer:static_cast<const MacSample&>(*sample).buffer()];
    }
    void markAsFinished() override { [input_ markAsFinished]; }

  private:
    AVAssetWriterInput* input_;
};

class AVWriter final : public AssetWriter {
  public:
    explicit AVWriter(AVAssetWriter* writer) : writer_(writer) {}

    void setShouldOptimizeForNetworkUse(bool optimize) override {
        writer_.shouldOptimizeForNetworkUse = optimize;
    }
    void setMovieFragmentInterval(MediaTime interval) override {
        writer_.movieFragmentInterval = CMTimeFromMediaTime(interval);
    }
    std::shared_ptr<WriterInput> makeVideoInput(const VideoSettings& settings) override {
        return std::make_shared<AVInput>(
            MakeInput(AVMediaTypeVideo, VideoOutputSettings(settings)));
    }
    std::shared_ptr<WriterInput> makeAudioInput(const AudioSettings& settings) override {
        return std::make_shared<AVInput>(
            MakeInput(AVMediaTypeAudio, AudioOutputSettings(settings)));
    }
    bool canAddInput(const std::shared_ptr<WriterInput>& input) override {
        AVAssetWriterInput* avInput = static_cast<AVInput&>(*input).input();
        return avInput != nil && [writer_ canAddInput:avInput];
    }
    void addInput(const std::shared_ptr<WriterInput>& input) override {
        [writer_ addInput:static_cast<AVInput&>(*input).input()];
    }
    bool startWriting() override { return [writer_ startWriting]; }
    WriterStatus status() const override { return static_cast<WriterStatus>(writer_.status); }
    MaybeError error() const override { return ErrorFromNSError(writer_.error); }
    void startSession(MediaTime sourceTime) override {
        [writer_ startSessionAtSourceTime:CMTimeFromMediaTime(sourceTime)];
    }
    void endSession(MediaTime sourceTime) override {
        [writer_ endSessionAtSourceTime:CMTimeFromMediaTime(sourceTime)];
    }
    void finishWriting(std::function<void()> completion) override {
        [writer_ finishWritingWithCompletionHandler:^{
          completion();
        }];
    }
    void cancelWriting() override { [writer_ cancelWriting]; }

  private:
    AVAssetWriter* writer_;
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

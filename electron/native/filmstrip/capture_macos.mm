// The capture stream over ScreenCaptureKit. One bridge object is both the stream's output and
// its delegate; it passes samples and the stream's own end to the recorder.
#import <CoreGraphics/CoreGraphics.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <mutex>

#include "media_macos.h"
#include "sample_macos.h"

using filmstrip::OutputType;
using filmstrip::StreamListener;

@interface FilmstripStreamBridge : NSObject <SCStreamOutput, SCStreamDelegate>
- (instancetype)initWithListener:(std::weak_ptr<StreamListener>)listener;
// While capture runs the bridge keeps its listener alive.
- (void)setRunning:(BOOL)running;
@end

@implementation FilmstripStreamBridge {
    std::mutex _mutex;
    std::weak_ptr<StreamListener> _listener;
    std::shared_ptr<StreamListener> _running;
}

- (instancetype)initWithListener:(std::weak_ptr<StreamListener>)listener {
    if ((self = [super init])) {
        _listener = std::move(listener);
    }
    return self;
}

- (void)setRunning:(BOOL)running {
    std::lock_guard<std::mutex> lock(_mutex);
    _running = running ? _listener.lock() : nullptr;
}

- (std::shared_ptr<StreamListener>)listener {
    std::lock_guard<std::mutex> lock(_mutex);
    return _listener.lock();
}

- (void)stream:(SCStream*)stream
    didOutputSampleBuffer:(CMSampleBufferRef)sampleBuffer
                   ofType:(SCStreamOutputType)type {
    (void)stream;
    OutputType output;
    if (type == SCStreamOutputTypeScreen) {
        output = OutputType::Screen;
    } else if (type == SCStreamOutputTypeAudio) {
        output = OutputType::Audio;
    } else {
        return;
    }
    if (std::shared_ptr<StreamListener> listener = [self listener]) {
        listener->streamDidOutputSample(std::make_shared<filmstrip::MacSample>(sampleBuffer),
                                        output);
    }
}

- (void)stream:(SCStream*)stream didStopWithError:(NSError*)error {
    (void)stream;
    std::shared_ptr<StreamListener> listener = [self listener];
    [self setRunning:NO];
    if (listener) {
        listener->streamDidStopWithError(filmstrip::ErrorFromNSError(error));
    }
}
@end

namespace filmstrip {
namespace {

constexpr const char* kContentGoneDomain = "ScreenRecorder";
constexpr const char* kContentGone = "The content to capture is no longer available";

Error ContentGoneError() {
    return Error{kContentGoneDomain, 1, kContentGone};
}

SCStreamOutputType SCTypeFor(OutputType type) {
    return type == OutputType::Audio ? SCStreamOutputTypeAudio : SCStreamOutputTypeScreen;
}

SCContentFilter* MakeSCContentFilter(SCShareableContent* content, const ContentFilter& filter) {
    SCDisplay* display = nil;
    for (SCDisplay* candidate in content.displays) {
        if (candidate.displayID == filter.display.displayID) {
            display = candidate;
            break;
        }
    }
    auto windowsWithIDs = [&](const std::vector<ContentWindow>& wanted) {
        NSMutableArray<SCWindow*>* windows = [NSMutableArray array];
        for (const ContentWindow& entry : wanted) {
            for (SCWindow* window in content.windows) {
                if (window.windowID == entry.windowID) {
                    [windows addObject:window];
                    break;
                }
            }
        }
        return windows;
    };
    switch (filter.kind) {
        case ContentFilter::Kind::DisplayExcludingApplications: {
            NSMutableArray<SCRunningApplication*>* applications = [NSMutableArray array];
            for (const ContentApplication& entry : filter.excludedApplications) {
                // An identifier that is not UTF-8 names no application.
                NSString* bundleIdentifier = NSStringFromUTF8(entry.bundleIdentifier);
                for (SCRunningApplication* application in content.applications) {
                    if (bundleIdentifier != nil &&
                        [application.bundleIdentifier isEqualToString:bundleIdentifier]) {
                        [applications addObject:application];
                        break;
                    }
                }
            }
            return display == nil
                       ? nil
                       : [[SCContentFilter alloc]
                                   initWithDisplay:display
                             excludingApplications:applications
                                  exceptingWindows:windowsWithIDs(filter.exceptingWindows)];
        }
        case ContentFilter::Kind::DisplayExcludingWindows:
            return display == nil ? nil
                                  : [[SCContentFilter alloc]
                                         initWithDisplay:display
                                        excludingWindows:windowsWithIDs(filter.excludedWindows)];
        case ContentFilter::Kind::Window: {
            NSArray<SCWindow*>* windows = windowsWithIDs({filter.window});
            return windows.count == 0
                       ? nil
                       : [[SCContentFilter alloc] initWithDesktopIndependentWindow:windows[0]];
        }
    }
    return nil;
}

SCStreamConfiguration* MakeSCStreamConfiguration(const StreamConfiguration& config) {
    SCStreamConfiguration* configuration = [[SCStreamConfiguration alloc] init];
    if (config.sourceRect) {
        configuration.sourceRect = CGRectMake(config.sourceRect->x, config.sourceRect->y,
                                              config.sourceRect->width, config.sourceRect->height);
    }
    configuration.width = static_cast<size_t>(config.width);
    configuration.height = static_cast<size_t>(config.height);
    configuration.minimumFrameInterval = CMTimeFromMediaTime(config.minimumFrameInterval);
    configuration.pixelFormat = config.pixelFormat;
    configuration.showsCursor = config.showsCursor;
    if (config.neverShowPresenterOverlayAlert) {
        if (@available(macOS 14.0, *)) {
            configuration.presenterOverlayPrivacyAlertSetting = SCPresenterOverlayAlertSettingNever;
        }
    }
    if (config.clearBackground) {
        configuration.backgroundColor = CGColorGetConstantColor(kCGColorClear);
    }
    configuration.scalesToFit = config.scalesToFit;
    if (config.colorSpaceName == kColorSpaceSRGB) {
        configuration.colorSpaceName = kCGColorSpaceSRGB;
    }
    configuration.queueDepth = config.queueDepth;
    configuration.capturesAudio = config.capturesAudio;
    configuration.sampleRate = config.sampleRate;
    configuration.channelCount = config.channelCount;
    return configuration;
}

class ScreenCaptureStream final : public CaptureStream {
  public:
    ScreenCaptureStream(SCShareableContent* content, const ContentFilter& filter,
                        const StreamConfiguration& configuration,
                        std::weak_ptr<StreamListener> listener)
        : bridge_([[FilmstripStreamBridge alloc] initWithListener:std::move(listener)]),
          // One serial queue for screen and audio samples, so they reach the recorder in the
          // order the stream made them.
          sampleQueue_(dispatch_queue_create(
              "filmstrip.samples", dispatch_queue_attr_make_with_qos_class(
                                       DISPATCH_QUEUE_SERIAL, QOS_CLASS_USER_INTERACTIVE, 0))) {
        SCContentFilter* contentFilter = MakeSCContentFilter(content, filter);
        if (contentFilter != nil) {
            stream_ = [[SCStream alloc] initWithFilter:contentFilter
                                         configuration:MakeSCStreamConfiguration(configuration)
                                              delegate:bridge_];
        }
    }

    MaybeError addStreamOutput(OutputType type) override {
        if (stream_ == nil) {
            return ContentGoneError();
        }
        NSError* error = nil;
        if (![stream_ addStreamOutput:bridge_
                                 type:SCTypeFor(type)
                   sampleHandlerQueue:sampleQueue_
                                error:&error]) {
            return ErrorFromNSError(error);
        }
        return std::nullopt;
    }

    void removeStreamOutput(OutputType type) override {
        [stream_ removeStreamOutput:bridge_ type:SCTypeFor(type) error:nil];
    }

    void startCapture(std::function<void(MaybeError)> completion) override {
        if (stream_ == nil) {
            completion(ContentGoneError());
            return;
        }
        FilmstripStreamBridge* bridge = bridge_;
        [stream_ startCaptureWithCompletionHandler:^(NSError* error) {
          if (error == nil) {
              [bridge setRunning:YES];
          }
          completion(ErrorFromNSError(error));
        }];
    }

    void stopCapture(std::function<void(MaybeError)> completion) override {
        if (stream_ == nil) {
            completion(std::nullopt);  // nothing was capturing
            return;
        }
        FilmstripStreamBridge* bridge = bridge_;
        [stream_ stopCaptureWithCompletionHandler:^(NSError* error) {
          [bridge setRunning:NO];
          completion(ErrorFromNSError(error));
        }];
    }

  private:
    FilmstripStreamBridge* bridge_;
    dispatch_queue_t sampleQueue_;
    SCStream* stream_ = nil;
};

}  // namespace

std::shared_ptr<CaptureStream> MakeScreenCaptureStream(SCShareableContent* content,
                                                       const ContentFilter& filter,
                                                       const StreamConfiguration& configuration,
                                                       std::weak_ptr<StreamListener> listener) {
    return std::make_shared<ScreenCaptureStream>(content, filter, configuration,
                                                 std::move(listener));
}

}  // namespace filmstrip

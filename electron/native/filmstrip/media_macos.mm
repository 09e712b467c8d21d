// The macOS media layer: shareable content from ScreenCaptureKit, display modes from
// CoreGraphics, the CoreMedia host clock, the file manager, the system log, and the queue the
// recorder's operations run on.
#import <AppKit/AppKit.h>
#import <CoreGraphics/CoreGraphics.h>
#import <CoreMedia/CoreMedia.h>
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <mutex>

#include "media_macos.h"
#include "sample_macos.h"

namespace filmstrip {
namespace {

ShareableContent ContentFromSCShareableContent(SCShareableContent* content) {
    ShareableContent converted;
    for (SCDisplay* display in content.displays) {
        converted.displays.push_back({display.displayID, static_cast<int64_t>(display.width),
                                      static_cast<int64_t>(display.height)});
    }
    for (SCRunningApplication* application in content.applications) {
        converted.applications.push_back({StringFromNSString(application.bundleIdentifier)});
    }
    for (SCWindow* window in content.windows) {
        ContentWindow entry;
        entry.windowID = window.windowID;
        entry.frame = {window.frame.origin.x, window.frame.origin.y, window.frame.size.width,
                       window.frame.size.height, false};
        entry.title = StringFromNSString(window.title);
        if (window.owningApplication != nil) {
            entry.owningApplication =
                ContentApplication{StringFromNSString(window.owningApplication.bundleIdentifier)};
        }
        converted.windows.push_back(std::move(entry));
    }
    return converted;
}

class MacMedia final : public Media {
  public:
    void getShareableContent(
        std::function<void(std::optional<ShareableContent>, MaybeError)> completion) override {
        [SCShareableContent getShareableContentWithCompletionHandler:^(SCShareableContent* content,
                                                                       NSError* error) {
          if (error != nil || content == nil) {
              completion(std::nullopt, ErrorFromNSError(error));
              return;
          }
          {
              std::lock_guard<std::mutex> lock(mutex_);
              lastContent_ = content;
          }
          completion(ContentFromSCShareableContent(content), std::nullopt);
        }];
    }

    std::string hostApplicationIdentifier() override {
        return StringFromNSString(NSBundle.mainBundle.bundleIdentifier);
    }

    std::optional<DisplayMode> displayMode(uint32_t displayID) override {
        CGDisplayModeRef mode = CGDisplayCopyDisplayMode(displayID);
        if (mode == nullptr) {
            return std::nullopt;
        }
        DisplayMode result{CGDisplayModeGetWidth(mode), CGDisplayModeGetHeight(mode),
                           CGDisplayModeGetPixelWidth(mode)};
        CGDisplayModeRelease(mode);
        return result;
    }

    std::optional<std::vector<uint32_t>> displaysWithPoint(double x, double y,
                                                           uint32_t maxDisplays) override {
        std::vector<CGDirectDisplayID> displays(maxDisplays);
        uint32_t count = 0;
        if (CGGetDisplaysWithPoint(CGPointMake(x, y), maxDisplays, displays.data(), &count) !=
            kCGErrorSuccess) {
            return std::nullopt;
        }
        displays.resize(count);
        return std::vector<uint32_t>(displays.begin(), displays.end());
    }

    uint32_t mainDisplayID() override { return CGMainDisplayID(); }

    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamListener> listener) override {
        SCShareableContent* content = nil;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            content = lastContent_;
        }
        return MakeScreenCaptureStream(content, filter, configuration, std::move(listener));
    }

    WriterResult makeMP4Writer(const std::string& path) override { return MakeAVAssetWriter(path); }

    MediaTime hostTime() override {
        return MediaTimeFromCMTime(CMClockGetTime(CMClockGetHostTimeClock()));
    }

    bool fileExists(const std::string& path) override {
        NSString* filePath = NSStringFromUTF8(path);
        return filePath != nil && [NSFileManager.defaultManager fileExistsAtPath:filePath];
    }

    MaybeError removeFile(const std::string& path) override {
        NSString* filePath = NSStringFromUTF8(path);
        if (filePath == nil) {
            return InvalidFileNameError(NSFileReadInvalidFileNameError);
        }
        NSError* error = nil;
        if ([NSFileManager.defaultManager removeItemAtPath:filePath error:&error]) {
            return std::nullopt;
        }
        return ErrorFromNSError(error);
    }

    void log(const std::string& line) override {
        NSString* text = NSStringFromUTF8(line);
        if (text == nil) {  // still logged, byte for byte as Latin-1
            text = [[NSString alloc] initWithBytes:line.data()
                                            length:line.size()
                                          encoding:NSISOLatin1StringEncoding];
        }
        NSLog(@"%@", text);
    }

  private:
    std::mutex mutex_;
    // The content the last lookup returned: the filter's identifiers are resolved in it.
    SCShareableContent* lastContent_ = nil;
};

// The recorder's operations run in order on a serial queue of their own. Not the main dispatch
// queue: Electron's main process drains that one but plain Node never does, and the results
// reach JavaScript through thread-safe functions from any thread.
class RecorderQueue final : public Executor {
  public:
    void async(std::function<void()> task) override {
        auto* pending = new std::function<void()>(std::move(task));
        dispatch_async(queue_, ^{
          (*pending)();
          delete pending;
        });
    }

  private:
    dispatch_queue_t queue_ = dispatch_queue_create(
        "filmstrip.recorder", dispatch_queue_attr_make_with_qos_class(DISPATCH_QUEUE_SERIAL,
                                                                      QOS_CLASS_USER_INITIATED, 0));
};

}  // namespace

std::shared_ptr<Media> PlatformMedia() {
    static auto* media = new std::shared_ptr<Media>(std::make_shared<MacMedia>());
    return *media;
}

Executor& MainQueue() {
    static auto* queue = new RecorderQueue();
    return *queue;
}

}  // namespace filmstrip

// Dense optical flow on macOS: Vision's optical-flow request at revision 1 and its lowest
// accuracy, on the complete BMP files, which Vision decodes itself.
#import <CoreVideo/CoreVideo.h>
#import <Foundation/Foundation.h>
#import <Vision/Vision.h>

#include <string>

#include "flow_engine.h"
#include "probe_run.h"
#include "vision_failure_macos.h"

namespace probes {
namespace {

NSData* bmpData(const Frame& frame) {
    return [NSData dataWithBytes:frame.bmp.data() length:frame.bmp.size()];
}

constexpr const char* kMessageFlowFormat =
    "Vision's optical flow came back in an unexpected pixel format (not two-channel float)";
constexpr const char* kMessageFlowLock = "Vision's optical flow buffer could not be read";

// Holds the flow buffer locked read-only until the measure is done with it; a buffer that is
// not two-channel float flow, or cannot be locked, is refused rather than read as numbers.
class VisionFlowResult : public FlowResult {
  public:
    explicit VisionFlowResult(CVPixelBufferRef buffer) : buffer_(CVPixelBufferRetain(buffer)) {
        if (CVPixelBufferGetPixelFormatType(buffer_) != kCVPixelFormatType_TwoComponent32Float) {
            CVPixelBufferRelease(buffer_);
            throw PlatformError(kMessageFlowFormat);
        }
        if (CVPixelBufferLockBaseAddress(buffer_, kCVPixelBufferLock_ReadOnly) !=
            kCVReturnSuccess) {
            CVPixelBufferRelease(buffer_);
            throw PlatformError(kMessageFlowLock);
        }
    }
    ~VisionFlowResult() override {
        CVPixelBufferUnlockBaseAddress(buffer_, kCVPixelBufferLock_ReadOnly);
        CVPixelBufferRelease(buffer_);
    }
    VisionFlowResult(const VisionFlowResult&) = delete;
    VisionFlowResult& operator=(const VisionFlowResult&) = delete;

    FlowField field() const override {
        return {static_cast<std::int64_t>(CVPixelBufferGetWidth(buffer_)),
                static_cast<std::int64_t>(CVPixelBufferGetHeight(buffer_)),
                CVPixelBufferGetBytesPerRow(buffer_),
                static_cast<const std::byte*>(CVPixelBufferGetBaseAddress(buffer_))};
    }

  private:
    CVPixelBufferRef buffer_;
};

class VisionFlowEngine : public FlowEngine {
  public:
    std::unique_ptr<FlowResult> computeFlow(const Frame& earlier, const Frame& later,
                                            std::int64_t) override {
        // The error leaves the autorelease scope as text, so the scope is always drained.
        bool failed = false;
        std::string failure;
        std::unique_ptr<FlowResult> result;
        @autoreleasepool {
            VNGenerateOpticalFlowRequest* request =
                [[VNGenerateOpticalFlowRequest alloc] initWithTargetedImageData:bmpData(later)
                                                                        options:@{}
                                                              completionHandler:nil];
            request.revision = VNGenerateOpticalFlowRequestRevision1;
            request.computationAccuracy = VNGenerateOpticalFlowRequestComputationAccuracyLow;
            VNImageRequestHandler* handler =
                [[VNImageRequestHandler alloc] initWithData:bmpData(earlier) options:@{}];
            NSError* error = nil;
            if (![handler performRequests:@[ request ] error:&error]) {
                failed = true;
                failure = visionFailure(error, "optical flow");
            } else if (VNPixelBufferObservation* observation = request.results.firstObject;
                       observation != nil && observation.pixelBuffer != nullptr) {
                try {
                    result = std::make_unique<VisionFlowResult>(observation.pixelBuffer);
                } catch (const PlatformError& refused) {
                    failed = true;
                    failure = refused.what();
                }
            }
        }
        if (failed) {
            throw PlatformError(failure);
        }
        return result;
    }
};

}  // namespace

std::unique_ptr<FlowEngine> makeFlowEngine() {
    return std::make_unique<VisionFlowEngine>();
}

}  // namespace probes

// Dense optical flow on macOS: Vision's optical-flow request at revision 1 and its lowest
// accuracy, on the complete BMP files, which Vision decodes itself.
#import <CoreVideo/CoreVideo.h>
#import <Foundation/Foundation.h>
#import <Vision/Vision.h>

#include <string>

#include "flow_engine.h"
#include "probe_run.h"

namespace probes {
namespace {

NSData* bmpData(const Frame& frame) {
    return [NSData dataWithBytes:frame.bmp.data() length:frame.bmp.size()];
}

// Holds the flow buffer locked read-only until the measure is done with it.
class VisionFlowResult : public FlowResult {
  public:
    explicit VisionFlowResult(CVPixelBufferRef buffer) : buffer_(CVPixelBufferRetain(buffer)) {
        CVPixelBufferLockBaseAddress(buffer_, kCVPixelBufferLock_ReadOnly);
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
                failure = error.localizedDescription.UTF8String;
            } else if (VNPixelBufferObservation* observation = request.results.firstObject;
                       observation != nil && observation.pixelBuffer != nullptr) {
                result = std::make_unique<VisionFlowResult>(observation.pixelBuffer);
            }
        }
        if (!failure.empty()) {
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

// Face landmarks on macOS: one Vision face-landmarks request, reused for every frame, on the
// complete BMP file, which Vision decodes itself.
#import <Foundation/Foundation.h>
#import <Vision/Vision.h>

#include <string>

#include "face_engine.h"
#include "probe_run.h"
#include "vision_failure_macos.h"

namespace probes {
namespace {

class VisionFaceEngine : public FaceEngine {
  public:
    VisionFaceEngine() : request_([[VNDetectFaceLandmarksRequest alloc] init]) {}

    std::vector<DetectedFace> detectFaces(std::span<const std::uint8_t> bmp) override {
        // The error leaves the autorelease scope as text, so the scope is always drained.
        bool failed = false;
        std::string failure;
        std::vector<DetectedFace> faces;
        @autoreleasepool {
            NSData* data = [NSData dataWithBytes:bmp.data() length:bmp.size()];
            VNImageRequestHandler* handler = [[VNImageRequestHandler alloc] initWithData:data
                                                                                 options:@{}];
            NSError* error = nil;
            if (![handler performRequests:@[ request_ ] error:&error]) {
                failed = true;
                failure = visionFailure(error, "face landmarks");
            }
            // A failed request's results are the previous frame's faces: never read them.
            for (VNFaceObservation* observation in failed ? @[] : request_.results) {
                const CGRect box = observation.boundingBox;
                DetectedFace face{box.origin.x, box.origin.y, box.size.width, box.size.height,
                                  std::nullopt};
                VNFaceLandmarkRegion2D* lips = observation.landmarks.innerLips;
                if (lips != nil) {
                    face.innerLips.emplace();
                    const CGPoint* points = lips.normalizedPoints;
                    for (NSUInteger i = 0; points != nullptr && i < lips.pointCount; ++i) {
                        face.innerLips->push_back({points[i].x, points[i].y});
                    }
                }
                faces.push_back(std::move(face));
            }
        }
        if (failed) {
            throw PlatformError(failure);
        }
        return faces;
    }

  private:
    VNDetectFaceLandmarksRequest* request_;
};

}  // namespace

std::unique_ptr<FaceEngine> makeFaceEngine() {
    return std::make_unique<VisionFaceEngine>();
}

}  // namespace probes

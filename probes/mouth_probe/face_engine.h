#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace probes {

struct NormalizedPoint {
    double x = 0.0;
    double y = 0.0;
};

// One face as the landmark detector reports it. The box is in picture-normalized coordinates
// with the origin at the bottom-left and y up; the inner-lip contour, in order, is normalized
// to that box the same way. No contour when the detector found no landmarks or no inner lips.
struct DetectedFace {
    double x = 0.0;
    double y = 0.0;
    double width = 0.0;
    double height = 0.0;
    std::optional<std::vector<NormalizedPoint>> innerLips;
};

// Face-landmark detection on one frame, handed over as the complete BMP file.
class FaceEngine {
  public:
    virtual ~FaceEngine() = default;
    // The faces in detector order; throws PlatformError when the frame cannot be analysed.
    virtual std::vector<DetectedFace> detectFaces(std::span<const std::uint8_t> bmp) = 0;
    // The `known` faces of an earlier frame found again in this one, each looked for only near
    // where it was; a face not found there is left out. An engine fast enough to search the
    // whole frame every time may do that instead.
    virtual std::vector<DetectedFace> findFacesAgain(std::span<const std::uint8_t> bmp,
                                                     const std::vector<DetectedFace>& known) {
        static_cast<void>(known);
        return detectFaces(bmp);
    }
};

// The platform's detector on macOS (Vision); throws PlatformError when it cannot be prepared. On
// Linux the dlib engine is made by `probes_make_face_engine` in its module beside the program
// (engine_module.h, face_engine_choice.h).
std::unique_ptr<FaceEngine> makeFaceEngine();

}  // namespace probes

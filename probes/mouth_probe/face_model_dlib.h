#pragma once

// dlib's face detector and 68-point landmark model in a packed form that is ready in
// milliseconds. dlib's own model file stores every float in a portable variable-length encoding
// that takes most of a second to parse, and its landmark model then lives in some 120,000 small
// allocations. The packed file is made once at build time from the installed model file
// (pack_face_model); at start-up it is mapped and the landmark forests are walked where they lie.

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace probes {

// dlib's cascade of regression forests for face landmarks, read in place from packed bytes. It
// gives the same points as dlib::shape_predictor on the same model: the same features, the same
// tree walk and the same float sums in the same order.
class LandmarkModel {
  public:
    // Reads the model at the start of `bytes`, which `owner` keeps alive; `bytes` is advanced
    // past it. Throws std::runtime_error when the bytes do not hold a consistent model.
    LandmarkModel(std::shared_ptr<const void> owner, std::string_view& bytes);

    dlib::full_object_detection operator()(const dlib::array2d<unsigned char>& image,
                                           const dlib::rectangle& box) const;

  private:
    // One tree node: left when feature idx1 minus feature idx2 exceeds thresh.
    struct Split {
        std::uint32_t idx1;
        std::uint32_t idx2;
        float thresh;
    };
    // The pixels one cascade reads, placed relative to the landmarks of the current shape.
    struct FeaturePixels {
        std::vector<unsigned long> anchors;
        std::vector<dlib::vector<float, 2>> deltas;
    };

    std::shared_ptr<const void> owner_;
    dlib::matrix<float, 0, 1> initialShape_;
    std::vector<FeaturePixels> pixels_;  // per cascade
    std::uint32_t treesPerCascade_ = 0;
    std::uint32_t splitsPerTree_ = 0;
    const Split* splits_ = nullptr;  // cascade-major, tree, node
    const float* leaves_ = nullptr;  // cascade-major, tree, leaf, shape coordinate
};

struct FaceModel {
    dlib::frontal_face_detector detector;
    std::unique_ptr<LandmarkModel> landmarks;
};

// Writes the detector and the landmark model read from dlib's model file at `modelPath` to
// `packedPath`; throws std::runtime_error when the model cannot be read or written.
void packFaceModel(const std::string& modelPath, const std::string& packedPath);

// The model from a packed file, mapped; throws std::runtime_error when it is missing or damaged.
FaceModel loadPackedFaceModel(const std::string& packedPath);

// The model from dlib's own model file, packed in memory (slower: the whole file is parsed).
FaceModel loadDlibFaceModel(const std::string& modelPath);

}  // namespace probes

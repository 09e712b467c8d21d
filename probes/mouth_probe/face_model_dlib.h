#pragma once

// dlib's face detector and 68-point landmark model in a packed form that loads in milliseconds:
// dlib's own model file stores every float in a portable variable-length encoding that takes
// most of a second to parse, and the detector ships compressed. The packed file is made once at
// build time from the installed model file (pack_face_model) and read at start-up.

#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>

#include <string>

namespace probes {

struct FaceModel {
    dlib::frontal_face_detector detector;
    dlib::shape_predictor predictor;
};

// Writes the detector and the landmark model read from dlib's model file at `modelPath` to
// `packedPath`; throws std::runtime_error when the model cannot be read or written.
void packFaceModel(const std::string& modelPath, const std::string& packedPath);

// The model from a packed file; throws std::runtime_error when it is missing or damaged.
FaceModel loadPackedFaceModel(const std::string& packedPath);

}  // namespace probes

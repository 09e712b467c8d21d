// Face landmarks on Linux: dlib's HOG frontal face detector and its 68-point shape predictor,
// whose points 60 to 67 trace the inner lips. Kept in its own file: dlib's headers are heavy.
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/serialize.h>

#include <cmath>
#include <string>

#include "face_engine.h"
#include "frame_stream.h"
#include "probe_run.h"

#ifndef PROBES_DLIB_SHAPE_MODEL
#define PROBES_DLIB_SHAPE_MODEL "/usr/share/dlib/shape_predictor_68_face_landmarks.dat"
#endif

namespace probes {
namespace {

constexpr unsigned long INNER_LIPS_FIRST = 60;
constexpr unsigned long INNER_LIPS_END = 68;

dlib::array2d<unsigned char> greyImage(std::span<const std::uint8_t> bmp) {
    const Frame frame = lumaFrame(Bytes(bmp.begin(), bmp.end()));
    dlib::array2d<unsigned char> image;
    const auto rows = static_cast<long>(frame.height);
    const long columns = rows > 0 ? static_cast<long>(frame.luma.size()) / rows : 0;
    image.set_size(rows, columns);
    std::size_t i = 0;
    for (long r = 0; r < rows; ++r) {
        for (long c = 0; c < columns; ++c) {
            image[r][c] = static_cast<unsigned char>(frame.luma[i++] * 255.0f + 0.5f);
        }
    }
    return image;
}

class DlibFaceEngine : public FaceEngine {
  public:
    DlibFaceEngine() : detector_(dlib::get_frontal_face_detector()) {
        try {
            dlib::deserialize(PROBES_DLIB_SHAPE_MODEL) >> predictor_;
        } catch (const std::exception& error) {
            throw PlatformError(std::string("cannot load the face landmark model: ") +
                                error.what());
        }
    }

    std::vector<DetectedFace> detectFaces(std::span<const std::uint8_t> bmp) override {
        // Faces are searched on the whole 960 px picture: the detector's 80 px window then
        // finds faces down to 1/12 of the picture width, such as a small camera inset.
        const dlib::array2d<unsigned char> image = greyImage(bmp);
        const double columns = static_cast<double>(image.nc());
        const double rows = static_cast<double>(image.nr());
        std::vector<DetectedFace> faces;
        for (const dlib::rectangle& box : detector_(image)) {
            const dlib::full_object_detection shape = predictor_(image, box);
            const double boxWidth = static_cast<double>(box.width());
            const double boxHeight = static_cast<double>(box.height());
            const double boxBottom = static_cast<double>(box.top()) + boxHeight;
            DetectedFace face{static_cast<double>(box.left()) / columns, (rows - boxBottom) / rows,
                              boxWidth / columns, boxHeight / rows, std::nullopt};
            if (shape.num_parts() >= INNER_LIPS_END) {
                face.innerLips.emplace();
                for (unsigned long i = INNER_LIPS_FIRST; i < INNER_LIPS_END; ++i) {
                    const dlib::point point = shape.part(i);
                    face.innerLips->push_back(
                        {(static_cast<double>(point.x()) - static_cast<double>(box.left())) /
                             boxWidth,
                         (boxBottom - static_cast<double>(point.y())) / boxHeight});
                }
            }
            faces.push_back(std::move(face));
        }
        return faces;
    }

  private:
    dlib::frontal_face_detector detector_;
    dlib::shape_predictor predictor_;
};

}  // namespace

std::unique_ptr<FaceEngine> makeFaceEngine() {
    return std::make_unique<DlibFaceEngine>();
}

}  // namespace probes

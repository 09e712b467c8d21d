// Face landmarks on Linux: dlib's HOG frontal face detector and its 68-point shape predictor,
// whose points 60 to 67 trace the inner lips. Kept in its own file: dlib's headers are heavy.
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>

#include "engine_module.h"
#include "face_engine.h"
#include "face_model_dlib.h"
#include "face_search_dlib.h"
#include "frame_stream.h"
#include "probe_run.h"

#ifndef PROBES_DLIB_SHAPE_MODEL
#define PROBES_DLIB_SHAPE_MODEL "/usr/share/dlib/shape_predictor_68_face_landmarks.dat"
#endif
#ifndef PROBES_PACKED_FACE_MODEL
#define PROBES_PACKED_FACE_MODEL "face_landmarks.pack"
#endif

namespace probes {
namespace {

constexpr unsigned long INNER_LIPS_FIRST = 60;
constexpr unsigned long INNER_LIPS_END = 68;
// The detector's pyramid steps: each level is 5/6 the size of the one before.
constexpr double PYRAMID_STEP = 5.0 / 6.0;
// A known face is looked for again in its box widened by this fraction of its width on every
// side, which covers the movement between samples.
constexpr double SEARCH_MARGIN = 0.5;
// …with the region scaled down by whole pyramid steps while the face stays at least this many
// pixels wide: the detector's 80 px window with room for the face to shrink by a third.
constexpr double SEARCH_FACE_PIXELS = 120.0;

using GreyArray = dlib::array2d<unsigned char>;

// The packed model next to the program, made from dlib's model file at build time; dlib's own
// file when it is missing (slower to load).
FaceModel loadFaceModel() {
    const std::filesystem::path directory = programDirectory();
    const std::filesystem::path packed = directory / PROBES_PACKED_FACE_MODEL;
    std::error_code error;
    if (!directory.empty() && std::filesystem::exists(packed, error)) {
        return loadPackedFaceModel(packed.string());
    }
    return loadDlibFaceModel(PROBES_DLIB_SHAPE_MODEL);
}

FaceModel loadModel() {
    try {
        return loadFaceModel();
    } catch (const std::exception& error) {
        throw PlatformError(std::string("cannot load the face landmark model: ") + error.what());
    }
}

// The region a known face is looked for in, in frame pixels, and the scale it is searched at.
struct SearchRegion {
    dlib::rectangle area;
    double scale;
};

SearchRegion searchRegion(const dlib::rectangle& face, const dlib::rectangle& frame) {
    const auto margin = static_cast<long>(std::lround(SEARCH_MARGIN * face.width()));
    double scale = 1.0;
    while (static_cast<double>(face.width()) * scale * PYRAMID_STEP >= SEARCH_FACE_PIXELS) {
        scale *= PYRAMID_STEP;
    }
    return {dlib::grow_rect(face, margin).intersect(frame), scale};
}

double overlap(const dlib::rectangle& a, const dlib::rectangle& b) {
    const double common = static_cast<double>(a.intersect(b).area());
    return common / static_cast<double>(a.area() + b.area() - a.intersect(b).area());
}

class DlibFaceEngine : public FaceEngine {
  public:
    DlibFaceEngine() : model_(loadModel()), search_(model_.detector) {}

    std::vector<DetectedFace> detectFaces(std::span<const std::uint8_t> bmp) override {
        // Faces are searched on the whole 960 px picture: the detector's 80 px window then
        // finds faces down to 1/12 of the picture width, such as a small camera inset.
        loadImage(bmp);
        std::vector<DetectedFace> faces;
        for (const dlib::rect_detection& found : search_(image_)) {
            faces.push_back(face(found.rect));
        }
        return faces;
    }

    std::vector<DetectedFace> findFacesAgain(std::span<const std::uint8_t> bmp,
                                             const std::vector<DetectedFace>& known) override {
        loadImage(bmp);
        std::vector<DetectedFace> faces;
        std::vector<dlib::rectangle> found;
        for (const DetectedFace& earlier : known) {
            const std::optional<dlib::rectangle> box = findAgain(pixelBox(earlier));
            if (box && std::find(found.begin(), found.end(), *box) == found.end()) {
                found.push_back(*box);
                faces.push_back(face(*box));
            }
        }
        return faces;
    }

  private:
    void loadImage(std::span<const std::uint8_t> bmp) {
        greyImage(bmp, grey_);
        image_.set_size(static_cast<long>(grey_.height), static_cast<long>(grey_.width));
        if (grey_.width > 0 && grey_.height > 0) {
            std::copy(grey_.pixels.begin(), grey_.pixels.end(), &image_[0][0]);
        }
    }

    dlib::rectangle frameRect() const { return dlib::get_rect(image_); }

    // A detector box back in frame pixels (top-left origin).
    dlib::rectangle pixelBox(const DetectedFace& face) const {
        const double columns = static_cast<double>(image_.nc());
        const double rows = static_cast<double>(image_.nr());
        const double top = rows - (face.y + face.height) * rows;
        return dlib::rectangle(std::lround(face.x * columns), std::lround(top),
                               std::lround((face.x + face.width) * columns) - 1,
                               std::lround(top + face.height * rows) - 1);
    }

    // The detection in the region around `earlier` that overlaps it most; nothing when the
    // detector no longer finds a face there.
    std::optional<dlib::rectangle> findAgain(const dlib::rectangle& earlier) {
        const SearchRegion region = searchRegion(earlier, frameRect());
        if (region.area.is_empty()) {
            return std::nullopt;
        }
        dlib::extract_image_chip(
            image_,
            dlib::chip_details(dlib::drectangle(region.area),
                               dlib::chip_dims(std::lround(region.area.height() * region.scale),
                                               std::lround(region.area.width() * region.scale))),
            chip_);
        std::optional<dlib::rectangle> best;
        double bestOverlap = 0.0;
        for (const dlib::rectangle& hit : model_.detector(chip_)) {
            const dlib::rectangle box = dlib::translate_rect(
                dlib::rectangle(std::lround(hit.left() / region.scale),
                                std::lround(hit.top() / region.scale),
                                std::lround((hit.right() + 1) / region.scale) - 1,
                                std::lround((hit.bottom() + 1) / region.scale) - 1),
                region.area.tl_corner());
            const double score = overlap(box, earlier);
            if (score > bestOverlap) {
                bestOverlap = score;
                best = box;
            }
        }
        return best;
    }

    // The face record of one detector box, with the inner lips placed on the whole frame.
    DetectedFace face(const dlib::rectangle& box) const {
        const double columns = static_cast<double>(image_.nc());
        const double rows = static_cast<double>(image_.nr());
        const dlib::full_object_detection shape = (*model_.landmarks)(image_, box);
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
                    {(static_cast<double>(point.x()) - static_cast<double>(box.left())) / boxWidth,
                     (boxBottom - static_cast<double>(point.y())) / boxHeight});
            }
        }
        return face;
    }

    FaceModel model_;
    FaceSearch search_;
    GreyImage grey_;
    GreyArray image_;
    GreyArray chip_;
};

}  // namespace

PROBES_ENGINE_FACTORY FaceEngine* probes_make_face_engine() {
    return new DlibFaceEngine();
}

}  // namespace probes

#pragma once

// The whole-frame face search of the dlib engine, split over two threads. dlib's detector scans
// an image pyramid whose two finest levels hold about half the work; those run on a second thread
// while this one scans the coarser levels. The boxes are the detector's own: the same levels,
// filters, thresholds, order and overlap suppression as dlib::object_detector.

#include <dlib/image_processing/frontal_face_detector.h>

#include <utility>
#include <vector>

namespace probes {

class FaceSearch {
  public:
    // Keeps a reference: `detector` must outlive the search.
    explicit FaceSearch(const dlib::frontal_face_detector& detector);

    // The faces in `image`, as `detector(image)` gives them.
    std::vector<dlib::rectangle> operator()(const dlib::array2d<unsigned char>& image) const;

  private:
    using Scanner = dlib::frontal_face_detector::image_scanner_type;
    using Hits = std::vector<std::pair<double, dlib::rectangle>>;
    // Per pyramid level, per detection template, the windows scoring at least its threshold.
    using LevelHits = std::vector<std::vector<Hits>>;

    unsigned long levelCount(const dlib::array2d<unsigned char>& image) const;
    void scanLevels(const dlib::array2d<unsigned char>& image, unsigned long first,
                    unsigned long end, LevelHits& hits) const;
    void scanLevel(const dlib::array2d<unsigned char>& levelImage, unsigned long level,
                   std::vector<Hits>& hits) const;
    std::vector<dlib::rectangle> suppressOverlaps(const LevelHits& hits) const;

    const dlib::frontal_face_detector& detector_;
    const Scanner& scanner_;
    std::vector<double> thresholds_;  // per detection template
};

}  // namespace probes

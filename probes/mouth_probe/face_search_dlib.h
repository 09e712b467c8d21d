#pragma once

// The whole-frame face search of the dlib engine. It gives the boxes of dlib's frontal face
// detector (the same pyramid levels, filters, thresholds, order and overlap suppression as
// dlib::object_detector) for less work:
// - A level's detection windows can only score differently where that level's picture changed.
//   Each level keeps the windows that passed in the last search, and only the windows near
//   pixels that changed since are scanned again (all of them when the picture size changes).
//   A screen recording whose picture is still outside a camera inset then costs a fraction of
//   a full scan.
// - The two finest levels, about half of the work, run on a second thread.

#include <dlib/image_processing/frontal_face_detector.h>

#include <vector>

namespace probes {

class FaceSearch {
  public:
    // Keeps a reference: `detector` must outlive the search.
    explicit FaceSearch(const dlib::frontal_face_detector& detector);

    // The faces in `image` with their confidence and template, as the detector gives them.
    std::vector<dlib::rect_detection> operator()(const dlib::array2d<unsigned char>& image);

  private:
    // A detection window that scored at least its template's threshold.
    struct Hit {
        double score;
        dlib::rectangle window;  // on its level's picture
        dlib::rectangle box;     // on the frame
    };
    using TemplateHits = std::vector<std::vector<Hit>>;  // per detection template
    struct Level {
        dlib::array2d<unsigned char> picture;
        TemplateHits hits;
    };

    unsigned long levelCount(const dlib::array2d<unsigned char>& image) const;
    void rescanLevels(unsigned long first, unsigned long end,
                      const std::vector<dlib::rectangle>& changed);
    void rescanLevel(unsigned long level, const dlib::rectangle& changed);
    TemplateHits scan(const dlib::array2d<unsigned char>& picture, const dlib::point& offset,
                      unsigned long level) const;
    std::vector<dlib::rect_detection> suppressOverlaps() const;

    const dlib::frontal_face_detector& detector_;
    const dlib::frontal_face_detector::image_scanner_type& scanner_;
    std::vector<double> thresholds_;  // per detection template
    std::vector<Level> levels_;       // the picture last searched, finest level first
};

}  // namespace probes

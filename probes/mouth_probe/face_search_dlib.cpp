#include "face_search_dlib.h"

#include <algorithm>
#include <future>

namespace probes {
namespace {

using GreyArray = dlib::array2d<unsigned char>;
using Pyramid = dlib::pyramid_down<6>;

// The pyramid levels scanned on the second thread: the finest ones, about half of the work (each
// level has 25/36 of the pixels of the one before).
constexpr unsigned long FINE_LEVELS = 2;

}  // namespace

FaceSearch::FaceSearch(const dlib::frontal_face_detector& detector)
    : detector_(detector), scanner_(detector.get_scanner()) {
    for (unsigned long i = 0; i < detector_.num_detectors(); ++i) {
        thresholds_.push_back(detector_.get_w(i)(scanner_.get_num_dimensions()));
    }
}

// As many levels as dlib's pyramid has for this image.
unsigned long FaceSearch::levelCount(const GreyArray& image) const {
    const Pyramid pyramid;
    dlib::rectangle rect = dlib::get_rect(image);
    unsigned long levels = 0;
    do {
        rect = pyramid.rect_down(rect);
        ++levels;
    } while (rect.width() >= scanner_.get_min_pyramid_layer_width() &&
             rect.height() >= scanner_.get_min_pyramid_layer_height() &&
             levels < scanner_.get_max_pyramid_levels());
    return levels;
}

// Levels [first, end), each made from the one before by the pyramid's own downscaling.
void FaceSearch::scanLevels(const GreyArray& image, unsigned long first, unsigned long end,
                            LevelHits& hits) const {
    const Pyramid pyramid;
    GreyArray level;
    GreyArray next;
    for (unsigned long i = 0; i < end; ++i) {
        const GreyArray& current = i == 0 ? image : level;
        if (i >= first) {
            scanLevel(current, i, hits[i]);
        }
        if (i + 1 < end) {
            pyramid(current, next);
            dlib::swap(level, next);
        }
    }
}

void FaceSearch::scanLevel(const GreyArray& levelImage, unsigned long level,
                           std::vector<Hits>& hits) const {
    const auto windowRows = static_cast<int>(scanner_.get_fhog_window_height());
    const auto windowColumns = static_cast<int>(scanner_.get_fhog_window_width());
    const auto cellSize = static_cast<int>(scanner_.get_cell_size());
    const auto padding = static_cast<long>(scanner_.get_padding());
    const auto& extractor = scanner_.get_feature_extractor();
    dlib::array<dlib::array2d<float>> features;
    extractor(levelImage, features, cellSize, windowRows, windowColumns);

    const Pyramid pyramid;
    dlib::array2d<float> saliency;
    hits.resize(thresholds_.size());
    for (unsigned long i = 0; i < thresholds_.size(); ++i) {
        const dlib::rectangle area = dlib::impl::apply_filters_to_fhog(
            detector_.get_processed_w(i).get_detect_argument(), features, saliency);
        for (long r = area.top(); r <= area.bottom(); ++r) {
            for (long c = area.left(); c <= area.right(); ++c) {
                if (saliency[r][c] >= thresholds_[i]) {
                    const dlib::rectangle window = extractor.feats_to_image(
                        dlib::centered_rect(dlib::point(c, r), windowColumns - 2 * padding,
                                            windowRows - 2 * padding),
                        cellSize, windowRows, windowColumns);
                    hits[i].emplace_back(saliency[r][c], pyramid.rect_up(window, level));
                }
            }
        }
    }
}

// Per template the hits strongest first, then all templates together strongest first, keeping
// each box that overlaps none kept before it.
std::vector<dlib::rectangle> FaceSearch::suppressOverlaps(const LevelHits& hits) const {
    std::vector<dlib::rect_detection> candidates;
    for (unsigned long i = 0; i < thresholds_.size(); ++i) {
        Hits ranked;
        for (const std::vector<Hits>& level : hits) {
            ranked.insert(ranked.end(), level[i].begin(), level[i].end());
        }
        std::sort(ranked.rbegin(), ranked.rend(), dlib::impl::compare_pair_rect);
        for (const auto& [score, rect] : ranked) {
            candidates.push_back({score - thresholds_[i], i, rect});
        }
    }
    if (thresholds_.size() > 1) {
        std::sort(candidates.rbegin(), candidates.rend());
    }
    const dlib::test_box_overlap& overlaps = detector_.get_overlap_tester();
    std::vector<dlib::rectangle> kept;
    for (const dlib::rect_detection& candidate : candidates) {
        if (std::none_of(kept.begin(), kept.end(), [&](const dlib::rectangle& box) {
                return overlaps(box, candidate.rect);
            })) {
            kept.push_back(candidate.rect);
        }
    }
    return kept;
}

std::vector<dlib::rectangle> FaceSearch::operator()(const GreyArray& image) const {
    const unsigned long levels = levelCount(image);
    const unsigned long fine = std::min(FINE_LEVELS, levels);
    LevelHits hits(levels);
    std::future<void> fineLevels =
        std::async(std::launch::async, [&] { scanLevels(image, 0, fine, hits); });
    scanLevels(image, fine, levels, hits);
    fineLevels.get();
    return suppressOverlaps(hits);
}

}  // namespace probes

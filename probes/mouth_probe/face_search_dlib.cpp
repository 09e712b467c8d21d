#include "face_search_dlib.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <utility>

namespace probes {
namespace {

using GreyArray = dlib::array2d<unsigned char>;
using Pyramid = dlib::pyramid_down<6>;

// The pyramid levels scanned on the second thread: the finest ones, about half of the work (each
// level has 25/36 of the pixels of the one before).
constexpr unsigned long FINE_LEVELS = 2;
// How far outside a window a changed pixel can still change the window's score, in pixels of its
// level: a HOG cell takes gradient votes from its neighbours' pixels and is normalised over
// blocks of 2 × 2 cells, two cells at most (with room to spare).
constexpr long WINDOW_CONTEXT = 24;
// A scanned region's features match the whole picture's only away from the region's edges, where
// the extractor drops and normalises cells without their neighbours; windows are taken from a
// region this much larger.
constexpr long REGION_MARGIN = 48;

// The bounding box of the pixels that differ between two pictures of one size; empty when none.
dlib::rectangle changedArea(const GreyArray& before, const GreyArray& after) {
    dlib::rectangle area;
    const auto columns = static_cast<std::size_t>(after.nc());
    for (long r = 0; r < after.nr(); ++r) {
        const unsigned char* old = &before[r][0];
        const unsigned char* now = &after[r][0];
        if (std::memcmp(old, now, columns) == 0) {
            continue;
        }
        const auto first = std::mismatch(now, now + columns, old).first - now;
        std::size_t last = columns - 1;
        while (now[last] == old[last]) {
            --last;
        }
        area += dlib::rectangle(first, r, static_cast<long>(last), r);
    }
    return area;
}

// The rectangle widened outwards to whole cells of the picture's cell grid.
dlib::rectangle toWholeCells(const dlib::rectangle& rect, long cellSize) {
    const auto down = [cellSize](long value) {
        return (value >= 0 ? value : value - cellSize + 1) / cellSize * cellSize;
    };
    return {down(rect.left()), down(rect.top()), down(rect.right()) + cellSize - 1,
            down(rect.bottom()) + cellSize - 1};
}

GreyArray copyOf(const GreyArray& picture, const dlib::rectangle& area) {
    GreyArray part(area.height(), area.width());
    for (long r = 0; r < part.nr(); ++r) {
        std::memcpy(&part[r][0], &picture[area.top() + r][area.left()],
                    static_cast<std::size_t>(part.nc()));
    }
    return part;
}

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

// Every window of a template that reaches its threshold on `picture`, a region of the level's
// picture whose top-left corner lies at `offset`, in scan order.
FaceSearch::TemplateHits FaceSearch::scan(const GreyArray& picture, const dlib::point& offset,
                                          unsigned long level) const {
    const auto windowRows = static_cast<int>(scanner_.get_fhog_window_height());
    const auto windowColumns = static_cast<int>(scanner_.get_fhog_window_width());
    const auto cellSize = static_cast<int>(scanner_.get_cell_size());
    const auto padding = static_cast<long>(scanner_.get_padding());
    const auto& extractor = scanner_.get_feature_extractor();
    dlib::array<dlib::array2d<float>> features;
    extractor(picture, features, cellSize, windowRows, windowColumns);

    const Pyramid pyramid;
    dlib::array2d<float> saliency;
    TemplateHits hits(thresholds_.size());
    for (unsigned long i = 0; i < thresholds_.size(); ++i) {
        const dlib::rectangle area = dlib::impl::apply_filters_to_fhog(
            detector_.get_processed_w(i).get_detect_argument(), features, saliency);
        for (long r = area.top(); r <= area.bottom(); ++r) {
            for (long c = area.left(); c <= area.right(); ++c) {
                if (saliency[r][c] >= thresholds_[i]) {
                    const dlib::rectangle window = dlib::translate_rect(
                        extractor.feats_to_image(
                            dlib::centered_rect(dlib::point(c, r), windowColumns - 2 * padding,
                                                windowRows - 2 * padding),
                            cellSize, windowRows, windowColumns),
                        offset);
                    hits[i].push_back({saliency[r][c], window, pyramid.rect_up(window, level)});
                }
            }
        }
    }
    return hits;
}

// The windows of one level near `changed` scanned again on a region around it; the level's other
// windows keep their last result.
void FaceSearch::rescanLevel(unsigned long level, const dlib::rectangle& changed) {
    if (changed.is_empty()) {
        return;
    }
    Level& current = levels_[level];
    const auto cellSize = static_cast<long>(scanner_.get_cell_size());
    const long window =
        std::max(scanner_.get_fhog_window_width(), scanner_.get_fhog_window_height()) * cellSize;
    const dlib::rectangle whole = dlib::get_rect(current.picture);
    const dlib::rectangle affected = dlib::grow_rect(changed, WINDOW_CONTEXT);
    const dlib::rectangle region =
        toWholeCells(dlib::grow_rect(affected, window + REGION_MARGIN), cellSize).intersect(whole);
    const TemplateHits fresh =
        region == whole ? scan(current.picture, dlib::point(0, 0), level)
                        : scan(copyOf(current.picture, region), region.tl_corner(), level);
    const auto isAffected = [&](const Hit& hit) {
        return !hit.window.intersect(affected).is_empty();
    };
    for (std::size_t i = 0; i < thresholds_.size(); ++i) {
        std::vector<Hit>& hits = current.hits[i];
        std::erase_if(hits, isAffected);
        std::copy_if(fresh[i].begin(), fresh[i].end(), std::back_inserter(hits), isAffected);
        std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
            return std::pair(a.window.top(), a.window.left()) <
                   std::pair(b.window.top(), b.window.left());
        });
    }
}

void FaceSearch::rescanLevels(unsigned long first, unsigned long end,
                              const std::vector<dlib::rectangle>& changed) {
    for (unsigned long level = first; level < end; ++level) {
        rescanLevel(level, changed[level]);
    }
}

// Per template the hits strongest first, then all templates together strongest first, keeping
// each box that overlaps none kept before it.
std::vector<dlib::rect_detection> FaceSearch::suppressOverlaps() const {
    std::vector<dlib::rect_detection> candidates;
    for (unsigned long i = 0; i < thresholds_.size(); ++i) {
        std::vector<std::pair<double, dlib::rectangle>> ranked;
        for (const Level& level : levels_) {
            for (const Hit& hit : level.hits[i]) {
                ranked.emplace_back(hit.score, hit.box);
            }
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
    std::vector<dlib::rect_detection> kept;
    for (const dlib::rect_detection& candidate : candidates) {
        if (std::none_of(kept.begin(), kept.end(), [&](const dlib::rect_detection& face) {
                return overlaps(face.rect, candidate.rect);
            })) {
            kept.push_back(candidate);
        }
    }
    return kept;
}

std::vector<dlib::rect_detection> FaceSearch::operator()(const GreyArray& image) {
    const unsigned long count = levelCount(image);
    const bool sameSize = levels_.size() == count && levels_.front().picture.nr() == image.nr() &&
                          levels_.front().picture.nc() == image.nc();
    if (!sameSize) {
        levels_.clear();
        levels_.resize(count);
        for (Level& level : levels_) {
            level.hits.resize(thresholds_.size());
        }
    }
    // Each level made from the one before by the pyramid's own downscaling, as dlib does.
    const Pyramid pyramid;
    std::vector<dlib::rectangle> changed(count);
    GreyArray picture;
    for (unsigned long level = 0; level < count; ++level) {
        if (level == 0) {
            dlib::assign_image(picture, image);
        } else {
            pyramid(levels_[level - 1].picture, picture);
        }
        changed[level] =
            sameSize ? changedArea(levels_[level].picture, picture) : dlib::get_rect(picture);
        dlib::swap(levels_[level].picture, picture);
    }
    const unsigned long fine = std::min(FINE_LEVELS, count);
    std::future<void> fineLevels =
        std::async(std::launch::async, [&] { rescanLevels(0, fine, changed); });
    rescanLevels(fine, count, changed);
    fineLevels.get();
    return suppressOverlaps();
}

}  // namespace probes

// The whole-frame search against dlib's own detector, picture after picture.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "face_pictures.h"
#include "face_search_dlib.h"
#include "probe_testing.h"

namespace probes {
namespace {

using testing::GreyArray;
using testing::picture;

// One search through a sequence of pictures, each compared with the detector on its own: what
// changed from one to the next is all that is scanned again, and neither the boxes nor their
// scores may show it.
TEST(FaceSearch, FindsTheDetectorsOwnBoxesPictureAfterPicture) {
    SKIP_UNLESS_FOUND(FACE_PHOTO);
    dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    FaceSearch search(detector);
    // A line of pixels changed just beside the large face changes the scores of the windows on
    // it, and only those.
    GreyArray lineBeside = picture(960, 540, {{315, 63, 320}, {40, 300, 200}});
    const dlib::rectangle large = detector(lineBeside).at(0);
    for (long r = large.top(); r <= large.bottom(); ++r) {
        lineBeside[r][large.right() + 6] = 255;
    }
    struct Case {
        const char* name;
        GreyArray image;
    };
    Case cases[] = {
        {"one face filling a third", picture(960, 540, {{300, 60, 320}})},
        {"the face moved a little", picture(960, 540, {{315, 63, 320}})},
        {"a small face appears", picture(960, 540, {{315, 63, 320}, {40, 300, 200}})},
        {"nothing changed", picture(960, 540, {{315, 63, 320}, {40, 300, 200}})},
        {"a line beside the face changed", std::move(lineBeside)},
        {"the large face left", picture(960, 540, {{40, 300, 200}})},
        {"a face cut by the edge", picture(960, 540, {{820, 200, 300}})},
        {"no face", picture(960, 540, {})},
        {"a picture too small for the fine levels", picture(100, 70, {})},
        {"back to full size", picture(960, 540, {{40, 300, 200}, {600, 100, 240}})},
    };
    std::size_t facesSeen = 0;
    for (Case& item : cases) {
        SCOPED_TRACE(item.name);
        std::vector<dlib::rect_detection> expected;
        detector(item.image, expected);
        const std::vector<dlib::rect_detection> found = search(item.image);
        ASSERT_EQ(found.size(), expected.size());
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].rect, expected[i].rect);
            EXPECT_EQ(found[i].detection_confidence, expected[i].detection_confidence);
            EXPECT_EQ(found[i].weight_index, expected[i].weight_index);
        }
        facesSeen += found.size();
    }
    EXPECT_GE(facesSeen, 8U) << "the fixture pictures must hold faces to compare";
}

}  // namespace
}  // namespace probes

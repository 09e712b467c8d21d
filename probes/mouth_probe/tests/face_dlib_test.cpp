// The dlib engine's own pieces against dlib itself: the landmark model read from packed bytes
// gives dlib's shape predictor's points, the two-thread whole-frame search gives the detector's
// boxes, and a damaged packed file is refused.
#include <gtest/gtest.h>

#include <dlib/image_io.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "face_model_dlib.h"
#include "face_search_dlib.h"
#include "probe_testing.h"

namespace probes {
namespace {

using GreyArray = dlib::array2d<unsigned char>;

const FaceModel& packedModel() {
    static const FaceModel model = loadDlibFaceModel(DLIB_SHAPE_MODEL);
    return model;
}

GreyArray facePhoto() {
    GreyArray photo;
    dlib::load_image(photo, FACE_PHOTO);
    return photo;
}

struct Placement {
    long left;
    long top;
    long width;  // of the photo; its face is about 40 % as wide
};

// A picture of `width` × `height`, textured so that every window has features to score, with the
// face photo scaled and placed as given.
GreyArray picture(long width, long height, const std::vector<Placement>& faces) {
    GreyArray frame(height, width);
    for (long r = 0; r < height; ++r) {
        for (long c = 0; c < width; ++c) {
            const auto noise = static_cast<std::uint32_t>(c * 2654435761U ^ r * 40503U);
            frame[r][c] = static_cast<unsigned char>(96 + (noise >> 13) % 64);
        }
    }
    const GreyArray photo = facePhoto();
    for (const Placement& face : faces) {
        GreyArray scaled(photo.nr() * face.width / photo.nc(), face.width);
        dlib::resize_image(photo, scaled);
        for (long r = 0; r < scaled.nr() && face.top + r < height; ++r) {
            for (long c = 0; c < scaled.nc() && face.left + c < width; ++c) {
                frame[face.top + r][face.left + c] = scaled[r][c];
            }
        }
    }
    return frame;
}

// One search through a sequence of pictures, each compared with the detector on its own: what
// changed from one to the next is all that is scanned again, and neither the boxes nor their
// scores may show it.
TEST(FaceSearch, FindsTheDetectorsOwnBoxesPictureAfterPicture) {
    SKIP_UNLESS_FOUND(FACE_PHOTO);
    dlib::frontal_face_detector detector = packedModel().detector;
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

TEST(LandmarkModel, GivesDlibsPointsFromEitherModelFile) {
    SKIP_UNLESS_FOUND(FACE_PHOTO);
    dlib::shape_predictor dlibPredictor;
    dlib::deserialize(DLIB_SHAPE_MODEL) >> dlibPredictor;
    const std::string packedPath = std::string(TEST_SCRATCH) + "/landmarks_test.pack";
    packFaceModel(DLIB_SHAPE_MODEL, packedPath);
    const FaceModel fromPacked = loadPackedFaceModel(packedPath);

    const GreyArray image = picture(960, 540, {{300, 60, 320}});
    dlib::frontal_face_detector detector = packedModel().detector;
    const std::vector<dlib::rectangle> boxes = detector(image);
    ASSERT_FALSE(boxes.empty());
    // A box off the face and one reaching past the picture read pixels outside the picture too.
    const dlib::rectangle probeBoxes[] = {boxes.front(), dlib::rectangle(10, 10, 90, 90),
                                          dlib::rectangle(900, 480, 1010, 590)};
    for (const dlib::rectangle& box : probeBoxes) {
        const dlib::full_object_detection expected = dlibPredictor(image, box);
        for (const FaceModel* model : {&packedModel(), &fromPacked}) {
            const dlib::full_object_detection points = (*model->landmarks)(image, box);
            ASSERT_EQ(points.num_parts(), expected.num_parts());
            for (unsigned long i = 0; i < points.num_parts(); ++i) {
                EXPECT_EQ(points.part(i), expected.part(i)) << "landmark " << i;
            }
        }
    }
    std::filesystem::remove(packedPath);
}

// Byte offsets in the packed file of dlib's 68-point model: after the magic and five sizes come
// the 136 initial coordinates, then per cascade 500 anchors and 500 offsets, then the splits.
constexpr std::size_t FIRST_ANCHOR = 8 + 5 * 4 + 136 * 4;
constexpr std::size_t FIRST_SPLIT = FIRST_ANCHOR + 15 * (500 * 4 + 500 * 8);

TEST(LoadPackedFaceModel, RefusesADamagedFile) {
    const std::string goodPath = std::string(TEST_SCRATCH) + "/damage_test_good.pack";
    packFaceModel(DLIB_SHAPE_MODEL, goodPath);
    std::ifstream in(goodPath, std::ios::binary);
    const std::string good((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto overwrite = [&](std::size_t offset, std::uint32_t value) {
        std::string bytes = good;
        std::memcpy(bytes.data() + offset, &value, sizeof value);
        return bytes;
    };
    struct Case {
        const char* name;
        std::string bytes;
        std::string_view message;
    };
    const Case cases[] = {
        {"another magic", "facepak1" + good.substr(8), "is not a packed face model"},
        {"cut in half", good.substr(0, good.size() / 2), "truncated"},
        {"a byte more", good + "x", "trailing bytes"},
        {"an anchor past the landmarks", overwrite(FIRST_ANCHOR, 68), "missing landmark"},
        {"a split past the features", overwrite(FIRST_SPLIT, 500), "missing feature"},
        {"a tree too deep", overwrite(8 + 4 * 4, 1U << 20), "impossible sizes"},
        {"empty", "", "is not a packed face model"},
    };
    const std::string path = std::string(TEST_SCRATCH) + "/damage_test.pack";
    for (const Case& item : cases) {
        SCOPED_TRACE(item.name);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << item.bytes;
        try {
            loadPackedFaceModel(path);
            ADD_FAILURE() << "a damaged model was loaded";
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string_view(error.what()).find(item.message), std::string_view::npos)
                << error.what();
        }
    }
    std::filesystem::remove(path);
    std::filesystem::remove(goodPath);
}

}  // namespace
}  // namespace probes

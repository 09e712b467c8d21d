// The landmark model read from packed bytes against dlib's shape predictor, and damaged packed
// files refused.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#include "face_model_dlib.h"
#include "face_pictures.h"
#include "probe_testing.h"

namespace probes {
namespace {

using testing::GreyArray;
using testing::picture;

const FaceModel& packedModel() {
    static const FaceModel model = loadDlibFaceModel(DLIB_SHAPE_MODEL);
    return model;
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

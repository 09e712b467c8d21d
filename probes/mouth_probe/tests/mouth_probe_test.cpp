#include "mouth_probe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "probe_testing.h"

namespace probes {
namespace {

namespace fs = std::filesystem;

TEST(ParseInterval, AcceptsOnlyAWholeCLocaleNumber) {
    struct Case {
        const char* text;
        std::optional<double> value;
    };
    const Case cases[] = {
        {"500", 500.0},
        {"33.5", 33.5},
        {"1e3", 1000.0},
        {"+250", 250.0},
        {"0", 0.0},
        {"-10", -10.0},
        {"inf", std::numeric_limits<double>::infinity()},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {" 500", std::nullopt},
        {"500 ", std::nullopt},
        {"500ms", std::nullopt},
        {"5,5", std::nullopt},
        {"nan", std::nullopt},
        {"+", std::nullopt},
        {"+-5", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseInterval(c.text), c.value) << '"' << c.text << '"';
    }
}

TEST(RateText, IsTheShortestRoundTripKeepingAFraction) {
    struct Case {
        double interval;
        const char* text;
    };
    for (const Case& c :
         {Case{500, "2.0"}, Case{1000, "1.0"}, Case{300, "3.3333333333333335"}, Case{40, "25.0"},
          Case{0, "inf"}, Case{-500, "-2.0"}, Case{1e-300, "1e+303"}}) {
        EXPECT_EQ(rateText(c.interval), c.text) << c.interval;
    }
}

DetectedFace faceWithLips(std::vector<double> ys) {
    DetectedFace face{0.25, 0.5, 0.5, 0.25, std::vector<NormalizedPoint>{}};
    for (double y : ys) {
        face.innerLips->push_back({0.5, y});
    }
    return face;
}

TEST(MouthOpening, IsTheVerticalExtentOfTheInnerLips) {
    EXPECT_NEAR(mouthOpening(faceWithLips({0.43, 0.40, 0.47})), 0.07, 1e-12);
    EXPECT_EQ(mouthOpening(faceWithLips({0.43})), 0.0);
    EXPECT_EQ(mouthOpening(faceWithLips({})), 0.0);
    EXPECT_EQ(mouthOpening(DetectedFace{}), 0.0);
    EXPECT_NEAR(mouthOpening(faceWithLips({-0.2, 1.3})), 1.5, 1e-12);  // not clamped
}

TEST(RoundToFourDecimals, RoundsHalvesAwayFromZero) {
    EXPECT_EQ(roundToFourDecimals(0.12345), 0.1235);
    EXPECT_EQ(roundToFourDecimals(-0.00005), -0.0001);
    EXPECT_EQ(roundToFourDecimals(0.07000000000000001), 0.07);
}

TEST(FaceRecord, MeasuresTheBoxFromTheTop) {
    const FaceRecord record = faceRecord(faceWithLips({0.40, 0.43, 0.47}));
    EXPECT_EQ(record, (FaceRecord{0.5, 0.375, 0.5, 0.25, 0.07}));
}

TEST(FrameLine, IsACompactArrayOfRecords) {
    EXPECT_EQ(frameLine({}), "[]");
    DetectedFace second{0.0, 0.0, 0.2, 0.3, std::nullopt};
    EXPECT_EQ(frameLine({faceWithLips({0.40, 0.43, 0.47}), second}),
              "[[0.5,0.375,0.5,0.25,0.07],[0.1,0.85,0.2,0.3,0]]");
}

TEST(FrameLine, RefusesNumbersJsonCannotHold) {
    DetectedFace face{std::numeric_limits<double>::quiet_NaN(), 0.0, 0.2, 0.3, std::nullopt};
    EXPECT_THROW(frameLine({face}), PlatformError);
}

// A face engine that reports the same faces on every frame, or refuses from a given frame on.
class ScriptedFaces : public FaceEngine {
  public:
    ScriptedFaces(std::vector<DetectedFace> faces, int refuseAtFrame)
        : faces_(std::move(faces)), refuseAtFrame_(refuseAtFrame) {}

    std::vector<DetectedFace> detectFaces(std::span<const std::uint8_t>) override {
        if (++frames_ == refuseAtFrame_) {
            throw PlatformError("face request failed");
        }
        return faces_;
    }

  private:
    std::vector<DetectedFace> faces_;
    int refuseAtFrame_;
    int frames_ = 0;
};

// A face engine over a scripted picture: which faces are in each frame (numbered by the blue
// value of the frame's one pixel, see MouthProbeRun::frames). A whole-frame search finds them
// all; a search near known faces finds those of them still in the picture. It notes each search:
// 'W' whole, 'N' near.
class ScriptedPicture : public FaceEngine {
  public:
    ScriptedPicture(std::vector<std::vector<DetectedFace>> picture, std::string& searches)
        : picture_(std::move(picture)), searches_(searches) {}

    std::vector<DetectedFace> detectFaces(std::span<const std::uint8_t> bmp) override {
        searches_ += 'W';
        return picture_.at(frameNumber(bmp));
    }

    std::vector<DetectedFace> findFacesAgain(std::span<const std::uint8_t> bmp,
                                             const std::vector<DetectedFace>& known) override {
        searches_ += 'N';
        std::vector<DetectedFace> found;
        for (const DetectedFace& face : picture_.at(frameNumber(bmp))) {
            if (std::any_of(known.begin(), known.end(),
                            [&](const DetectedFace& k) { return k.x == face.x; })) {
                found.push_back(face);
            }
        }
        return found;
    }

  private:
    static std::size_t frameNumber(std::span<const std::uint8_t> bmp) {
        return bmp[testing::BMP_HEADER];
    }

    std::vector<std::vector<DetectedFace>> picture_;
    std::string& searches_;
};

// Runs the probe in this process with a scripted decoder and scripted faces, or the engine
// `makeEngine` makes.
class MouthProbeRun : public testing::ScratchTest {
  protected:
    std::vector<DetectedFace> faces;
    int refuseAtFrame = 0;
    std::function<std::unique_ptr<FaceEngine>()> makeEngine;

    testing::Finished run(const std::vector<std::string>& arguments) {
        return testing::runInProcess(dir, [&](ProbeStreams streams) {
            return runMouthProbe(
                arguments,
                [this]() -> std::unique_ptr<FaceEngine> {
                    if (makeEngine) {
                        return makeEngine();
                    }
                    return std::make_unique<ScriptedFaces>(faces, refuseAtFrame);
                },
                streams);
        });
    }

    // A stream of `count` one-pixel frames whose blue values count them from 0.
    static Bytes frames(std::size_t count) {
        Bytes stream;
        for (std::size_t i = 0; i < count; ++i) {
            const auto number = static_cast<std::uint8_t>(i);
            const Bytes frame =
                testing::makeBmp(1, 1, [&](int, int) { return testing::Bgr{number}; });
            stream.insert(stream.end(), frame.begin(), frame.end());
        }
        return stream;
    }

    // The decoder writes `stream`, then exits with `status`.
    testing::Finished run(const Bytes& stream, int status, const std::string& interval = "500") {
        return run(
            {testing::streamingDecoder(dir, stream, status), (dir / "stream").string(), interval});
    }
};

TEST_F(MouthProbeRun, OneLinePerFrameAndTheDecoderStatus) {
    const Bytes frame = testing::texturedBmp(8, 4);
    const testing::Finished none = run(testing::concat({frame, frame, frame}), 2);
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(none.out, "[]\n[]\n[]\n");
    const std::vector<std::string> args = testing::readLines(dir / "args");
    ASSERT_EQ(args.size(), 17u);
    EXPECT_EQ(args[9], "fps=2.0,scale=960:-2");

    faces = {faceWithLips({0.40, 0.47}), DetectedFace{0.0, 0.0, 0.2, 0.3, std::nullopt}};
    const testing::Finished two = run(frame, 0, "1000");
    EXPECT_EQ(two.status, 0);
    EXPECT_EQ(two.out, "[[0.5,0.375,0.5,0.25,0.07],[0.1,0.85,0.2,0.3,0]]\n");
    EXPECT_EQ(testing::readLines(dir / "args")[9], "fps=1.0,scale=960:-2");
}

TEST_F(MouthProbeRun, RefusedFrameEndsTheRunKeepingEarlierLines) {
    refuseAtFrame = 2;
    const Bytes frame = testing::texturedBmp(8, 4);
    const testing::Finished finished = run(testing::concat({frame, frame, frame}), 0);
    EXPECT_EQ(finished.status, REFUSED_STATUS);
    EXPECT_EQ(finished.out, "[]\n");
    EXPECT_EQ(finished.err, "mouth_probe: face request failed\n");
}

TEST(FullSearchEvery, KeepsWholeFrameSearchesAtMostOneSecondApart) {
    struct Case {
        double interval;
        std::int64_t every;
    };
    for (const Case& c :
         {Case{500, 2}, Case{300, 3}, Case{333.4, 2}, Case{250, 4}, Case{1000, 1}, Case{2500, 1},
          Case{0, 1}, Case{-500, 1}, Case{std::numeric_limits<double>::infinity(), 1},
          Case{1e-300, 1000000000}}) {
        EXPECT_EQ(fullSearchEvery(c.interval), c.every) << c.interval;
    }
}

TEST_F(MouthProbeRun, FacesEnteringAreFoundWithinASecondAndLeavingOnesDroppedAtOnce) {
    // Frames 500 ms apart: the host stays until frame 5, a guest is in frames 1 and 2, a late
    // guest enters at frame 4. Losing the guest near where it was makes the whole frame be
    // searched at once (frame 3), which restarts the one-second schedule.
    const DetectedFace host{0.1, 0.5, 0.2, 0.3, std::nullopt};
    const DetectedFace guest{0.6, 0.5, 0.1, 0.2, std::nullopt};
    const DetectedFace late{0.4, 0.1, 0.1, 0.2, std::nullopt};
    const std::vector<std::vector<DetectedFace>> picture = {
        {host}, {host, guest}, {host, guest}, {host}, {host, late}, {late}, {late}};
    std::string searches;
    makeEngine = [&] { return std::make_unique<ScriptedPicture>(picture, searches); };
    const testing::Finished finished = run(frames(picture.size()), 0);
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(searches, "WNWNWNWN");
    const std::string h = frameLine({host});
    EXPECT_EQ(finished.out, h + "\n" + h + "\n" + frameLine({host, guest}) + "\n" + h + "\n" + h +
                                "\n" + frameLine({late}) + "\n" + frameLine({late}) + "\n");
}

TEST_F(MouthProbeRun, ShorterIntervalsSearchTheWholeFrameLessOften) {
    const std::vector<std::vector<DetectedFace>> picture(7);
    std::string searches;
    makeEngine = [&] { return std::make_unique<ScriptedPicture>(picture, searches); };
    const testing::Finished finished = run(frames(picture.size()), 0, "300");
    EXPECT_EQ(finished.status, 0) << finished.err;
    EXPECT_EQ(searches, "WNNWNNW");
}

TEST_F(MouthProbeRun, UnusableArgumentsNeverStartTheDecoder) {
    const std::string usage = "usage: mouth_probe DECODER VIDEO INTERVAL\n";
    const std::string decoder = testing::fakeDecoder(dir, "exit 0");
    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        {{}, usage},
        {{decoder, "video.mp4"}, usage},
        {{decoder, "video.mp4", "soon"},
         "mouth_probe: interval is not a number of milliseconds: soon\n" + usage},
    };
    for (const Case& c : cases) {
        const testing::Finished finished = run(c.arguments);
        EXPECT_EQ(finished.status, USAGE_STATUS);
        EXPECT_EQ(finished.err, c.err);
    }
    EXPECT_FALSE(fs::exists(dir / "args"));
}

}  // namespace
}  // namespace probes

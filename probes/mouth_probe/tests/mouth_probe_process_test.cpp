// The mouth_probe program as the host runs it: scripted decoders for exit statuses and failures,
// and the real decoder on a video of a face photo placed at known positions.
#include <gtest/gtest.h>

#include "probe_run.h"
#include "probe_testing.h"

namespace probes {
namespace {

namespace fs = std::filesystem;

class MouthProbeProcess : public testing::ScratchTest {
  protected:
    testing::Finished probe(const std::vector<std::string>& arguments) {
        return testing::runProgram(dir, PROBE_PROGRAM, arguments);
    }

    // A 960 × 540 grey video at 2 frames a second with the face photo laid over it by
    // `overlay`, `frames` frames long.
    std::string faceVideo(const std::string& overlay, int frames) {
        const std::string video = (dir / "face.mp4").string();
        const testing::Finished made = testing::runProgram(dir, FFMPEG,
                                                           {"-v",
                                                            "error",
                                                            "-nostdin",
                                                            "-f",
                                                            "lavfi",
                                                            "-i",
                                                            "color=c=gray:s=960x540:r=2:d=5",
                                                            "-loop",
                                                            "1",
                                                            "-framerate",
                                                            "2",
                                                            "-i",
                                                            FACE_PHOTO,
                                                            "-filter_complex",
                                                            overlay,
                                                            "-frames:v",
                                                            std::to_string(frames),
                                                            "-c:v",
                                                            "libx264",
                                                            "-crf",
                                                            "16",
                                                            video});
        EXPECT_EQ(made.status, 0) << made.err;
        return video;
    }
};

Bytes plainFrame() {
    return testing::makeBmp(96, 54, [](int, int) { return testing::Bgr{90, 90, 90}; });
}

TEST_F(MouthProbeProcess, FramesWithoutFacesGiveEmptyLines) {
    const Bytes frame = plainFrame();
    const std::string decoder =
        testing::streamingDecoder(dir, testing::concat({frame, frame, frame}), 6);
    const testing::Finished finished = probe({decoder, (dir / "stream").string(), "300"});
    EXPECT_EQ(finished.status, 6);
    EXPECT_EQ(finished.err, "");
    EXPECT_EQ(finished.out, "[]\n[]\n[]\n");
    EXPECT_EQ(testing::readLines(dir / "args").at(9), "fps=3.3333333333333335,scale=960:-2");
}

TEST_F(MouthProbeProcess, EndsWithoutOutputWhenItCannotRun) {
    const std::string missing = (dir / "missing").string();
    testing::expectEarlyEnds(
        dir, PROBE_PROGRAM,
        {{{missing}, USAGE_STATUS, "usage: mouth_probe DECODER VIDEO INTERVAL"},
         {{missing, "video.mp4", "1/2"}, USAGE_STATUS, "mouth_probe: interval is not a number"},
         {{missing, "video.mp4", "500"},
          LAUNCH_STATUS,
          "mouth_probe: cannot start decoder " + missing + ": No such file or directory"}});
    testing::expectRefusedWithoutEngineModule(dir, PROBE_PROGRAM, 320, "500");
}

TEST_F(MouthProbeProcess, MalformedFrameStopsTheDecoder) {
    Bytes bad = plainFrame();
    testing::putLittleEndian(bad, 10, 1000);  // pixel rows start past the end
    testing::writeFile(dir / "stream", testing::concat({plainFrame(), bad}));
    const testing::Finished finished =
        probe({testing::lingeringDecoder(dir), (dir / "stream").string(), "500"});
    EXPECT_EQ(finished.status, MALFORMED_FRAME_STATUS);
    EXPECT_EQ(finished.out, "[]\n");
    EXPECT_EQ(finished.err.rfind("mouth_probe: malformed frame: ", 0), 0u) << finished.err;
    EXPECT_TRUE(testing::lingeringDecoderEnded(dir));
}

std::vector<double> numbersOf(const std::string& record) {
    std::vector<double> numbers;
    std::size_t at = 0;
    while (at < record.size()) {
        std::size_t used = 0;
        numbers.push_back(std::stod(record.substr(at), &used));
        at += used + 1;
    }
    return numbers;
}

TEST_F(MouthProbeProcess, FacePlacedInAVideoIsFoundWhereItWasPut) {
    SKIP_UNLESS_FOUND(FFMPEG);
    SKIP_UNLESS_FOUND(FACE_PHOTO);
    // A 300 px wide portrait on a 960 × 540 grey picture, at two known places, one per
    // sampled frame.
    struct Placement {
        int x;
        int y;
    };
    const Placement places[] = {{100, 100}, {560, 150}};
    const std::string video = faceVideo(
        "[1]scale=300:-2[face];[0][face]overlay=x='if(lt(t,0.25),100,560)':y='if(lt(t,0.25),100,"
        "150)':eval=frame:shortest=1,format=yuv420p",
        2);
    const testing::Finished finished = probe({FFMPEG, video, "500"});
    EXPECT_EQ(finished.status, 0) << finished.err;
    const std::vector<std::string> lines = testing::readLines(dir / "stdout");
    ASSERT_EQ(lines.size(), 2u) << finished.out;
    const double photoWidth = 300.0 / 960;
    std::vector<std::vector<double>> records;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // One face: "[[cx,cy,w,h,opening]]".
        ASSERT_EQ(lines[i].rfind("[[", 0), 0u) << lines[i];
        ASSERT_EQ(lines[i].find("],["), std::string::npos) << lines[i];
        const std::vector<double> r = numbersOf(lines[i].substr(2, lines[i].size() - 4));
        ASSERT_EQ(r.size(), 5u) << lines[i];
        EXPECT_GT(r[0], places[i].x / 960.0);
        EXPECT_LT(r[0], places[i].x / 960.0 + photoWidth);
        EXPECT_GT(r[1], places[i].y / 540.0);
        EXPECT_LT(r[1], (places[i].y + 352) / 540.0);
        EXPECT_GT(r[2], 0.3 * photoWidth);
        EXPECT_LT(r[2], photoWidth);
        EXPECT_GE(r[4], 0.0);
        EXPECT_LT(r[4], 0.5);
        records.push_back(r);
    }
    EXPECT_NEAR(records[1][0] - records[0][0], 460.0 / 960, 0.01);
    EXPECT_NEAR(records[1][1] - records[0][1], 50.0 / 540, 0.01);
    EXPECT_NEAR(records[1][2], records[0][2], 0.04);  // the detector's scale steps
}

TEST_F(MouthProbeProcess, SmallFaceEnteringIsFoundWithinASecondAndDroppedWhenItLeaves) {
    // A camera-inset sized face (about 1/13 of the picture width) in frames 1 to 3 of 6, moving
    // 10 px a frame: frame 0 is searched whole, 1 near the known faces (none), 2 whole again,
    // 3 near the face found in 2.
    const std::string video = faceVideo(
        "[1]scale=140:-2[face];[0][face]overlay=x='700+10*n':y=300:enable='between(n,1,3)'"
        ":eval=frame:shortest=1,format=yuv420p",
        6);
    const testing::Finished finished = probe({FFMPEG, video, "500"});
    EXPECT_EQ(finished.status, 0) << finished.err;
    const std::vector<std::string> lines = testing::readLines(dir / "stdout");
    ASSERT_EQ(lines.size(), 6u) << finished.out;
    EXPECT_EQ(lines[0], "[]");
    for (std::size_t i : {2u, 3u}) {
        ASSERT_EQ(lines[i].rfind("[[", 0), 0u) << i << ": " << lines[i];
        const std::vector<double> r = numbersOf(lines[i].substr(2, lines[i].size() - 4));
        ASSERT_EQ(r.size(), 5u) << lines[i];
        EXPECT_NEAR(r[0], (700 + 10 * static_cast<double>(i) + 70) / 960, 0.03) << lines[i];
        EXPECT_GT(r[2], 1.0 / 16) << lines[i];
        EXPECT_LT(r[2], 140.0 / 960) << lines[i];
    }
    EXPECT_EQ(lines[4], "[]");
    EXPECT_EQ(lines[5], "[]");
}

}  // namespace
}  // namespace probes

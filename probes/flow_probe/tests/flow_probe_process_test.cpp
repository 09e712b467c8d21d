// The flow_probe program as the host runs it: scripted decoders for exit statuses and failures,
// and the real decoder on videos made here for the measured motion.
#include <gtest/gtest.h>

#include <sstream>

#include "probe_run.h"
#include "probe_testing.h"

namespace probes {
namespace {

namespace fs = std::filesystem;

std::vector<double> parseLine(const std::string& line) {
    EXPECT_EQ(line.front(), '[');
    EXPECT_EQ(line.back(), ']');
    std::vector<double> numbers;
    std::istringstream in(line.substr(1, line.size() - 2));
    for (std::string item; std::getline(in, item, ',');) {
        numbers.push_back(std::stod(item));
    }
    return numbers;
}

std::vector<std::vector<double>> parseOutput(const std::string& out) {
    std::istringstream in(out);
    std::vector<std::vector<double>> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(parseLine(line));
    }
    return lines;
}

class FlowProbeProcess : public testing::ScratchTest {
  protected:
    testing::Finished probe(const std::vector<std::string>& arguments) {
        return testing::runProgram(dir, PROBE_PROGRAM, arguments);
    }
};

TEST_F(FlowProbeProcess, PrintsOneLinePerPairAndExitsWithTheDecoderStatus) {
    const std::string decoder = testing::streamingDecoder(
        dir,
        testing::concat({testing::texturedBmp(320, 180), testing::texturedBmp(320, 180, 2),
                         testing::texturedBmp(320, 180, 4)}),
        5);
    const testing::Finished finished = probe({decoder, (dir / "stream").string(), "4"});
    EXPECT_EQ(finished.status, 5);
    EXPECT_EQ(finished.err, "");
    const auto lines = parseOutput(finished.out);
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& numbers : lines) {
        EXPECT_EQ(numbers.size(), 13u);
    }
}

// The decoder records the nice values of the probe's threads once the analysis has yielded
// (or after two seconds), and its own, then streams its frames.
TEST_F(FlowProbeProcess, AnalysisYieldsTheCoresToTheDecoder) {
#if !defined(__linux__)
    GTEST_SKIP() << "thread nice values are a Linux notion";
#endif
    testing::writeFile(dir / "stream", testing::concat({testing::texturedBmp(320, 180),
                                                        testing::texturedBmp(320, 180, 2)}));
    const std::string niceOf = "awk '{ print $19 }' ";
    const std::string decoder = testing::fakeDecoder(
        dir,
        "main=/proc/$PPID/task/$PPID/stat\n"
        "for i in $(seq 200); do [ \"$(" +
            niceOf +
            "$main)\" -gt 0 ] && break; sleep 0.01; done\n"
            "for t in /proc/$PPID/task/*; do " +
            niceOf + "$t/stat; done | sort -n | tr '\\n' ' ' > '" + (dir / "probe_nice").string() +
            "'\n" + niceOf + "/proc/$$/stat > '" + (dir / "decoder_nice").string() +
            "'\ncat \"$5\"");
    const testing::Finished finished = probe({decoder, (dir / "stream").string(), "4"});
    EXPECT_EQ(finished.status, 0);
    EXPECT_EQ(parseOutput(finished.out).size(), 1u);
    EXPECT_EQ(testing::readFile(dir / "decoder_nice"), "0\n");
    // The read-ahead thread at the decoder's priority, the analysis (main) thread ten below.
    EXPECT_EQ(testing::readFile(dir / "probe_nice"), "0 10 ");
}

TEST_F(FlowProbeProcess, EndsWithoutOutputWhenItCannotRun) {
    const std::string missing = (dir / "missing").string();
    testing::expectEarlyEnds(
        dir, PROBE_PROGRAM,
        {{{}, USAGE_STATUS, "usage: flow_probe DECODER VIDEO RATE"},
         {{missing, "video.mp4"}, USAGE_STATUS, "usage: flow_probe DECODER VIDEO RATE"},
         {{missing, "video.mp4", "4"},
          LAUNCH_STATUS,
          "flow_probe: cannot start decoder " + missing + ": No such file or directory"},
         {{testing::fakeDecoder(dir, "echo broken >&2; exit 1"), "video.mp4", "4"}, 1, "broken"}});
    testing::expectRefusedWithoutEngineModule(dir, PROBE_PROGRAM, 320, "4");
}

TEST_F(FlowProbeProcess, MalformedFrameStopsTheDecoder) {
    Bytes bad = testing::texturedBmp(320, 180);
    testing::putLittleEndian(bad, 22, 5000);  // more rows than the frame holds
    testing::writeFile(dir / "stream", bad);
    const testing::Finished finished =
        probe({testing::lingeringDecoder(dir), (dir / "stream").string(), "4"});
    EXPECT_EQ(finished.status, MALFORMED_FRAME_STATUS);
    EXPECT_EQ(finished.err.rfind("flow_probe: malformed frame: ", 0), 0u) << finished.err;
    EXPECT_TRUE(testing::lingeringDecoderEnded(dir));
}

TEST_F(FlowProbeProcess, TerminationSignalStopsTheDecoderToo) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        std::filesystem::remove(dir / "pid");
        const pid_t probe = testing::startProgram(
            dir, PROBE_PROGRAM, {testing::lingeringDecoder(dir), "/dev/null", "4"});
        testing::lingeringDecoderPid(dir);
        ::kill(probe, signal);
        EXPECT_EQ(testing::finishProgram(dir, probe).status, 128 + signal);
        EXPECT_TRUE(testing::lingeringDecoderEnded(dir)) << signal;
    }
}

// The real decoder on a video made by `filter` from a textured photo, sampled at 4 per second.
class FlowProbeVideo : public FlowProbeProcess {
  protected:
    void SetUp() override {
        FlowProbeProcess::SetUp();
        SKIP_UNLESS_FOUND(FFMPEG);
        SKIP_UNLESS_FOUND(TEXTURE_PHOTO);
    }

    std::vector<std::vector<double>> analyse(const std::string& filter) {
        const std::string video = (dir / "video.mp4").string();
        const testing::Finished made = testing::runProgram(
            dir, FFMPEG,
            {"-v", "error", "-nostdin", "-loop", "1", "-framerate", "4", "-i", TEXTURE_PHOTO, "-vf",
             filter + ",format=yuv420p", "-frames:v", "6", "-c:v", "libx264", "-crf", "12", video});
        EXPECT_EQ(made.status, 0) << made.err;
        const testing::Finished finished = probe({FFMPEG, video, "4"});
        EXPECT_EQ(finished.status, 0) << finished.err;
        return parseOutput(finished.out);
    }
};

TEST_F(FlowProbeVideo, PanGivesPanXOfTheRightSignAndSize) {
    // The view moves 4 px right per frame at 320 px: the content moves 4/320 to the left.
    const auto lines = analyse("crop=320:180:x='40+4*n':y=150");
    ASSERT_EQ(lines.size(), 5u);
    for (const auto& numbers : lines) {
        EXPECT_NEAR(numbers[3], -4.0 / 320, 0.1 * 4.0 / 320);
        EXPECT_NEAR(numbers[4], 0.0, 0.002);
        EXPECT_GT(numbers[7], 0.8);
    }
}

TEST_F(FlowProbeVideo, ZoomInGivesPositiveZoom) {
    const auto lines =
        analyse("zoompan=z='1+0.03*on':d=1:s=320x240:fps=4:x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2'");
    ASSERT_EQ(lines.size(), 5u);
    for (const auto& numbers : lines) {
        EXPECT_GT(numbers[5], 0.005);
        EXPECT_NEAR(numbers[3], 0.0, 0.01);  // the zoom centre is rounded to whole pixels
    }
}

}  // namespace
}  // namespace probes

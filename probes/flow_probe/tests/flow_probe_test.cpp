#include "flow_probe.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "flow_engine_fake.h"
#include "motion.h"
#include "probe_testing.h"

namespace probes {
namespace {

namespace fs = std::filesystem;

TEST(FormatNumber, MatchesPercentPointFiveGInTheCLocale) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double value;
        const char* text;
    };
    const Case cases[] = {
        {0.0, "0"},
        {-0.0, "0"},
        {1.0, "1"},
        {0.0125, "0.0125"},
        {123456.0, "1.2346e+05"},
        {99999.0, "99999"},
        {0.0001, "0.0001"},
        {0.00001234567, "1.2346e-05"},
        {-2.5, "-2.5"},
        {1.0 / 3, "0.33333"},
        {inf, "inf"},
        {-inf, "-inf"},
        {std::numeric_limits<double>::quiet_NaN(), "nan"},
        {-std::numeric_limits<double>::quiet_NaN(), "nan"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatNumber(c.value), c.text) << c.text;
    }
}

TEST(MotionLine, IsThirteenNumbersInBrackets) {
    std::array<double, 13> numbers{};
    numbers[3] = -0.0125;
    numbers[12] = 0.25;
    EXPECT_EQ(motionLine(numbers), "[0,0,0,-0.0125,0,0,0,0,0,0,0,0,0.25]");
}

// Runs the probe in this process with a scripted decoder and a fake engine.
class FlowProbeRun : public testing::ScratchTest {
  protected:
    int refuseAtCall = 0;  // 0: never refuse

    std::unique_ptr<FlowEngine> makeEngine() const {
        auto engine = std::make_unique<testing::FakeFlowEngine>(FLOW_WIDTH, 10,
                                                                [](std::int64_t, std::int64_t) {
                                                                    return std::pair{0.0f, 0.0f};
                                                                });
        if (refuseAtCall > 0) {
            engine->refusal = "flow request failed";
            engine->refuseAtCall = refuseAtCall;
        }
        return engine;
    }

    testing::Finished run(std::vector<std::string> arguments) {
        return testing::runInProcess(dir, [&](ProbeStreams streams) {
            return runFlowProbe(
                arguments, [this] { return makeEngine(); }, streams);
        });
    }

    // The decoder writes `stream`, then exits with `status`.
    testing::Finished run(const Bytes& stream, int status, std::vector<std::string> extra = {}) {
        std::vector<std::string> arguments{testing::streamingDecoder(dir, stream, status),
                                           (dir / "stream").string(), "0.5"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return run(arguments);
    }
};

TEST_F(FlowProbeRun, ThreeFramesGiveTwoLinesAndTheDecoderStatus) {
    const Bytes frame = testing::texturedBmp(320, 10);
    const testing::Finished finished = run(testing::concat({frame, frame, frame}), 3, {"ignored"});
    EXPECT_EQ(finished.status, 3);
    EXPECT_EQ(finished.err, "");
    const std::string contrast = formatNumber(spread(lumaFrame(frame)));
    const std::string line = "[0,0,0,0,0,0,0,0,0,0,0,0," + contrast + "]\n";
    EXPECT_EQ(finished.out, line + line);
    const std::vector<std::string> args = testing::readLines(dir / "args");
    ASSERT_EQ(args.size(), 17u);
    EXPECT_EQ(args[4], (dir / "stream").string());
    EXPECT_EQ(args[9], "fps=0.5,scale=320:-2");
}

TEST_F(FlowProbeRun, FewerThanTwoFramesPrintNothing) {
    for (const Bytes& stream : {Bytes{}, testing::texturedBmp(320, 10)}) {
        const testing::Finished finished = run(stream, 1);
        EXPECT_EQ(finished.status, 1);
        EXPECT_EQ(finished.out, "");
    }
}

TEST_F(FlowProbeRun, RefusedFlowEndsTheRunKeepingEarlierLines) {
    refuseAtCall = 2;
    const Bytes frame = testing::texturedBmp(320, 10);
    const testing::Finished finished = run(testing::concat({frame, frame, frame, frame}), 0);
    EXPECT_EQ(finished.status, REFUSED_STATUS);
    EXPECT_EQ(std::count(finished.out.begin(), finished.out.end(), '\n'), 1);
    EXPECT_EQ(finished.err, "flow_probe: flow request failed\n");
}

TEST_F(FlowProbeRun, FramesOfTheWrongSizeAreRefused) {
    const Bytes good = testing::texturedBmp(320, 10);
    for (const Bytes& bad : {testing::texturedBmp(32, 10), testing::texturedBmp(320, 2),
                             testing::texturedBmp(320, 12)}) {
        const testing::Finished finished = run(testing::concat({good, bad}), 0);
        EXPECT_EQ(finished.status, MALFORMED_FRAME_STATUS);
        EXPECT_EQ(finished.out, "");
        EXPECT_EQ(finished.err.rfind("flow_probe: malformed frame: ", 0), 0u) << finished.err;
    }
}

TEST_F(FlowProbeRun, TooFewArgumentsNeverStartTheDecoder) {
    const testing::Finished finished = run({testing::fakeDecoder(dir, "exit 0"), "video.mp4"});
    EXPECT_EQ(finished.status, USAGE_STATUS);
    EXPECT_EQ(finished.err, "usage: flow_probe DECODER VIDEO RATE\n");
    EXPECT_FALSE(fs::exists(dir / "args"));
}

}  // namespace
}  // namespace probes

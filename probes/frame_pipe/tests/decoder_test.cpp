#include "decoder.h"

#include <gtest/gtest.h>

#include "probe_run.h"
#include "probe_testing.h"

namespace probes {
namespace {

namespace fs = std::filesystem;

using DecoderTest = testing::ScratchTest;

TEST(DecoderArguments, AreTheSeventeenItemsInOrder) {
    const std::vector<std::string> expected{
        "-v",    "error",      "-nostdin", "-i",  "in put.mp4",
        "-an",   "-sn",        "-dn",      "-vf", "fps=4,scale=320:-2",
        "-f",    "image2pipe", "-c:v",     "bmp", "-pix_fmt",
        "bgr24", "-"};
    EXPECT_EQ(decoderArguments("in put.mp4", filterText("4", 320)), expected);
}

TEST(FilterText, CopiesTheRateAndWidth) {
    EXPECT_EQ(filterText("500", 320), "fps=500,scale=320:-2");
    EXPECT_EQ(filterText("0.5", 320), "fps=0.5,scale=320:-2");
    EXPECT_EQ(filterText("2.0", 960), "fps=2.0,scale=960:-2");
}

TEST_F(DecoderTest, PassesArgumentsAndDeliversItsOutput) {
    const std::string decoder = testing::fakeDecoder(dir, "printf 'frames'; exit 3");
    Decoder running = Decoder::launchDecoder(decoder, {"a b", "-"});
    FdSource frames(running.frames());
    EXPECT_EQ(read(frames, 6), (Bytes{'f', 'r', 'a', 'm', 'e', 's'}));
    EXPECT_EQ(running.waitForExit(), 3);
    EXPECT_EQ(testing::readLines(dir / "args"), (std::vector<std::string>{"a b", "-"}));
}

TEST_F(DecoderTest, StatusOfASignalledDecoderIsOffsetBy128) {
    const std::string decoder = testing::fakeDecoder(dir, "kill -KILL $$");
    Decoder running = Decoder::launchDecoder(decoder, {});
    EXPECT_EQ(running.waitForExit(), 128 + SIGKILL);
}

TEST_F(DecoderTest, ReportsWhyItCannotStart) {
    testing::writeFile(dir / "plain", std::string("not a program"));
    struct Case {
        std::string path;
        std::string reason;
    };
    for (const Case& c : {Case{(dir / "missing").string(), "No such file or directory"},
                          Case{(dir / "plain").string(), "Permission denied"}}) {
        try {
            Decoder::launchDecoder(c.path, {});
            ADD_FAILURE() << c.path << " started";
        } catch (const std::system_error& error) {
            EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find(c.path), std::string::npos) << error.what();
        }
    }
}

TEST_F(DecoderTest, HandleGoneBeforeWaitingStopsTheDecoder) {
    const std::string decoder = testing::fakeDecoder(dir, "exec sleep 30");
    pid_t pid = 0;
    {
        const Decoder running = Decoder::launchDecoder(decoder, {});
        pid = running.pid();
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
}

// Reads frames until the stream ends.
class DrainingLoop : public FrameLoop {
  public:
    bool readFrame(ByteSource& frames) override { return readFrameBytes(frames).has_value(); }
};

// Fails on the first frame it is asked for.
class RefusingLoop : public FrameLoop {
  public:
    bool readFrame(ByteSource&) override { throw PlatformError("engine refused"); }
};

TEST_F(DecoderTest, RunEndsWithTheDecoderStatusOrItsOwnFailure) {
    struct Case {
        std::string decoder;
        std::function<std::unique_ptr<FrameLoop>()> start;
        int status;
        std::string err;
    };
    const std::string missing = (dir / "missing").string();
    const Case cases[] = {
        {"exit 4", [] { return std::make_unique<DrainingLoop>(); }, 4, ""},
        {"exec sleep 30", [] { return std::make_unique<RefusingLoop>(); }, REFUSED_STATUS,
         "probe: engine refused\n"},
        {"exit 0", []() -> std::unique_ptr<FrameLoop> { throw PlatformError("no model"); },
         REFUSED_STATUS, "probe: no model\n"},
        {"", [] { return std::make_unique<DrainingLoop>(); }, LAUNCH_STATUS,
         "probe: cannot start decoder " + missing + ": No such file or directory\n"},
    };
    for (const Case& c : cases) {
        const ProbeLaunch launch{c.decoder.empty() ? missing : testing::fakeDecoder(dir, c.decoder),
                                 {},
                                 std::size_t{1} << 16};
        const testing::Finished finished = testing::runInProcess(
            dir, [&](ProbeStreams streams) { return runProbe("probe", launch, c.start, streams); });
        EXPECT_EQ(finished.status, c.status) << c.decoder;
        EXPECT_EQ(finished.err, c.err) << c.decoder;
    }
}

}  // namespace
}  // namespace probes

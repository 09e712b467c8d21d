#include "flow_probe.h"

#include <cmath>
#include <utility>

#include "decoder.h"
#include "motion.h"
#include "number_text.h"

namespace probes {
namespace {

constexpr const char* USAGE = "flow_probe DECODER VIDEO RATE";
constexpr int SIGNIFICANT_DIGITS = 5;
// A dozen 320 px frames of a 16:9 video: a few seconds of samples.
constexpr std::size_t READ_AHEAD_BYTES = std::size_t{2} << 20;

// Pairs every sampled frame with the one before it.
class FlowLoop : public FrameLoop {
  public:
    FlowLoop(std::unique_ptr<FlowEngine> engine, int out) : engine_(std::move(engine)), out_(out) {}

    bool readFrame(ByteSource& frames) override {
        if (!primed_) {
            primed_ = true;
            previous_ = nextFrame(frames);
        }
        if (!previous_) {
            return false;
        }
        std::optional<Frame> next = nextFrame(frames);
        if (!next) {
            return false;
        }
        const MotionRecord record = measure(*previous_, *next, FLOW_WIDTH, *engine_);
        std::array<double, 13> numbers{};
        std::copy(record.begin(), record.end(), numbers.begin());
        numbers[12] = spread(*next);
        writeLine(out_, motionLine(numbers));
        previous_ = std::move(next);
        return true;
    }

  private:
    // The next frame, checked to have the size every luma index relies on.
    std::optional<Frame> nextFrame(ByteSource& frames) {
        std::optional<Frame> frame = readBmp(frames);
        if (!frame) {
            return frame;
        }
        if (frame->height < 3 ||
            frame->luma.size() != static_cast<std::size_t>(FLOW_WIDTH * frame->height)) {
            throw MalformedFrame("expected " + std::to_string(FLOW_WIDTH) +
                                 " pixels wide and at least 3 rows");
        }
        if (previous_ && previous_->height != frame->height) {
            throw MalformedFrame("frame height changed from " + std::to_string(previous_->height) +
                                 " to " + std::to_string(frame->height));
        }
        return frame;
    }

    std::unique_ptr<FlowEngine> engine_;
    int out_;
    bool primed_ = false;
    std::optional<Frame> previous_;
};

}  // namespace

std::string formatNumber(double value) {
    if (std::isnan(value)) {
        return "nan";
    }
    if (value == 0.0) {
        return "0";
    }
    return significantNumberText(value, SIGNIFICANT_DIGITS);
}

std::string motionLine(const std::array<double, 13>& numbers) {
    std::string line = "[";
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        line += formatNumber(numbers[i]);
    }
    return line + "]";
}

int runFlowProbe(std::span<const std::string> arguments,
                 const std::function<std::unique_ptr<FlowEngine>()>& makeEngine,
                 ProbeStreams streams) {
    if (arguments.size() < 3) {
        return usageFailure(USAGE, streams);
    }
    const ProbeLaunch launch{
        arguments[0],
        decoderArguments(arguments[1], filterText(arguments[2], static_cast<int>(FLOW_WIDTH))),
        READ_AHEAD_BYTES};
    return runProbe(
        "flow_probe", launch, [&] { return std::make_unique<FlowLoop>(makeEngine(), streams.out); },
        streams);
}

}  // namespace probes

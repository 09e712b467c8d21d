// Dense optical flow on Linux: OpenCV's DIS estimator at its fastest preset, fed the luma the
// probe already decoded as 8-bit grey.
#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include "engine_module.h"
#include "flow_engine.h"
#include "probe_run.h"

namespace probes {
namespace {

cv::Mat grey(const Frame& frame, std::int64_t width) {
    cv::Mat image(static_cast<int>(frame.height), static_cast<int>(width), CV_8UC1);
    auto* out = image.ptr<std::uint8_t>();
    for (std::size_t i = 0; i < frame.luma.size(); ++i) {
        out[i] = static_cast<std::uint8_t>(frame.luma[i] * 255.0f + 0.5f);
    }
    return image;
}

class OpenCvFlowResult : public FlowResult {
  public:
    explicit OpenCvFlowResult(cv::Mat flow) : flow_(std::move(flow)) {}

    FlowField field() const override {
        return {flow_.cols, flow_.rows, flow_.step[0],
                reinterpret_cast<const std::byte*>(flow_.data)};
    }

  private:
    cv::Mat flow_;  // CV_32FC2: u, v per pixel
};

class OpenCvFlowEngine : public FlowEngine {
  public:
    OpenCvFlowEngine() : dis_(cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_FAST)) {
        // One thread, like the rest of the probe: the cores are the decoder's.
        cv::setNumThreads(0);
    }

    std::unique_ptr<FlowResult> computeFlow(const Frame& earlier, const Frame& later,
                                            std::int64_t width) override {
        cv::Mat flow;
        try {
            dis_->calc(grey(earlier, width), grey(later, width), flow);
        } catch (const cv::Exception& error) {
            throw PlatformError("optical flow failed: " + error.msg);
        }
        if (flow.empty() || flow.type() != CV_32FC2) {
            return nullptr;
        }
        return std::make_unique<OpenCvFlowResult>(std::move(flow));
    }

  private:
    cv::Ptr<cv::DISOpticalFlow> dis_;
};

}  // namespace

PROBES_ENGINE_FACTORY FlowEngine* probes_make_flow_engine() {
    return new OpenCvFlowEngine();
}

}  // namespace probes

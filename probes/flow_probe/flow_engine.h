#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "frame_stream.h"

namespace probes {

// A dense flow field as the engine delivers it: `columns` × `rows` pixels, each two 32-bit
// floats u (to the right) then v (down) in field pixels, rows `rowPitch` bytes apart, the first
// row at the top. It says where the content of each pixel of the earlier frame lies in the later.
struct FlowField {
    std::int64_t columns = 0;
    std::int64_t rows = 0;
    std::size_t rowPitch = 0;
    const std::byte* base = nullptr;
};

// The engine's result; the field stays readable (locked) until the result is destroyed.
class FlowResult {
  public:
    virtual ~FlowResult() = default;
    virtual FlowField field() const = 0;
};

// Dense optical flow between two frames of the same size, `width` pixels wide.
class FlowEngine {
  public:
    virtual ~FlowEngine() = default;
    // The flow from `earlier` to `later`, or nullptr when the engine produced no field. Throws
    // PlatformError when the engine refuses the request.
    virtual std::unique_ptr<FlowResult> computeFlow(const Frame& earlier, const Frame& later,
                                                    std::int64_t width) = 0;
};

// The platform's engine on macOS (Vision). On Linux the OpenCV engine is made by
// `probes_make_flow_engine` in its module beside the program (engine_module.h).
std::unique_ptr<FlowEngine> makeFlowEngine();

}  // namespace probes

#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "flow_engine.h"

namespace probes::testing {

// A flow engine whose field is computed from a function of the field pixel, with a padded row
// pitch; or no field at all, or a refusal.
class FakeFlowEngine : public FlowEngine {
  public:
    using Vector = std::pair<float, float>;

    FakeFlowEngine(std::int64_t columns, std::int64_t rows,
                   std::function<Vector(std::int64_t column, std::int64_t row)> flow)
        : columns_(columns), rows_(rows), flow_(std::move(flow)) {}

    std::unique_ptr<FlowResult> computeFlow(const Frame& earlier, const Frame& later,
                                            std::int64_t width) override;

    bool noResult = false;
    std::optional<std::string> refusal;  // refuse from this call on
    int refuseAtCall = 1;
    int calls = 0;

  private:
    std::int64_t columns_;
    std::int64_t rows_;
    std::function<Vector(std::int64_t, std::int64_t)> flow_;
};

}  // namespace probes::testing

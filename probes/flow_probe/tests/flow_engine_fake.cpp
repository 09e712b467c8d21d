#include "flow_engine_fake.h"

#include <cstring>
#include <vector>

#include "probe_run.h"

namespace probes::testing {
namespace {

constexpr std::size_t ROW_PADDING = 24;  // bytes after each row, as platform buffers often have

class FakeFlowResult : public FlowResult {
  public:
    FakeFlowResult(std::vector<std::byte> storage, FlowField field)
        : storage_(std::move(storage)), field_(field) {
        field_.base = storage_.data();
    }
    FlowField field() const override { return field_; }

  private:
    std::vector<std::byte> storage_;
    FlowField field_;
};

}  // namespace

std::unique_ptr<FlowResult> FakeFlowEngine::computeFlow(const Frame&, const Frame&, std::int64_t) {
    ++calls;
    if (refusal && calls >= refuseAtCall) {
        throw PlatformError(*refusal);
    }
    if (noResult) {
        return nullptr;
    }
    const std::size_t pitch = static_cast<std::size_t>(columns_) * 2 * sizeof(float) + ROW_PADDING;
    std::vector<std::byte> storage(pitch * static_cast<std::size_t>(rows_));
    for (std::int64_t row = 0; row < rows_; ++row) {
        for (std::int64_t column = 0; column < columns_; ++column) {
            const Vector vector = flow_(column, row);
            const float uv[2] = {vector.first, vector.second};
            std::memcpy(storage.data() + static_cast<std::size_t>(row) * pitch +
                            static_cast<std::size_t>(column) * sizeof uv,
                        uv, sizeof uv);
        }
    }
    return std::make_unique<FakeFlowResult>(std::move(storage),
                                            FlowField{columns_, rows_, pitch, nullptr});
}

}  // namespace probes::testing

#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "flow_engine.h"
#include "frame_stream.h"

namespace probes {

// warpError, frameDifference, flowMagnitude, panX, panY, zoom, rotation, fitQuality, moverLeft,
// moverTop, moverRight, moverBottom.
using MotionRecord = std::array<double, 12>;
using Matrix3 = std::array<std::array<double, 3>, 3>;
using Vector3 = std::array<double, 3>;

// The motion from `a` to `b`, two frames `width` pixels wide and equally high (at least 3 rows
// and columns). Throws PlatformError when the engine refuses the flow request.
MotionRecord measure(const Frame& a, const Frame& b, std::int64_t width, FlowEngine& engine);

// Bilinear luma of `frame` at (x, y) in luma pixels, positions clamped to the frame. Inline: the
// warp error takes it at every pixel.
inline double lumaAt(const Frame& frame, double x, double y, std::int64_t width) {
    const auto lastColumn = static_cast<double>(width - 1);
    const auto lastRow = static_cast<double>(frame.height - 1);
    const double cx = std::min(std::max(x, 0.0), lastColumn);
    const double cy = std::min(std::max(y, 0.0), lastRow);
    const auto x0 = static_cast<std::int64_t>(cx);
    const std::int64_t x1 = std::min(x0 + 1, width - 1);
    const auto y0 = static_cast<std::int64_t>(cy);
    const std::int64_t y1 = std::min(y0 + 1, frame.height - 1);
    const double fx = cx - static_cast<double>(x0);
    const double fy = cy - static_cast<double>(y0);
    const auto at = [&](std::int64_t row, std::int64_t column) {
        return static_cast<double>(frame.luma[static_cast<std::size_t>(row * width + column)]);
    };
    const double top = (1 - fx) * at(y0, x0) + fx * at(y0, x1);
    const double bottom = (1 - fx) * at(y1, x0) + fx * at(y1, x1);
    return (1 - fy) * top + fy * bottom;
}

// M · result = b by Cramer's rule; nothing when |det M| is not above 1e-12.
std::optional<Vector3> solve(const Matrix3& m, const Vector3& b);

double det(const Matrix3& m);

// Population standard deviation of the frame's luma (not a number for an empty frame).
double spread(const Frame& frame);

}  // namespace probes

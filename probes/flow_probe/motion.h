#pragma once

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

// Bilinear luma of `frame` at (x, y) in luma pixels, positions clamped to the frame.
double lumaAt(const Frame& frame, double x, double y, std::int64_t width);

// M · result = b by Cramer's rule; nothing when |det M| is not above 1e-12.
std::optional<Vector3> solve(const Matrix3& m, const Vector3& b);

double det(const Matrix3& m);

// Population standard deviation of the frame's luma (not a number for an empty frame).
double spread(const Frame& frame);

}  // namespace probes

#include "motion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace probes {
namespace {

constexpr double WEIGHT_SCALE = 0.1;   // gradient magnitude at which the texture weight saturates
constexpr double MOVER_WEIGHT = 0.2;   // a moving sample is textured above this weight
constexpr double MOVER_SPEED = 0.33;   // … and moves at least this many luma pixels
constexpr std::size_t MIN_MOVERS = 8;  // fewer moving samples give no box
constexpr std::size_t PERCENTILE_DIVISOR = 50;
constexpr double SINGULAR_DETERMINANT = 1e-12;
constexpr std::int64_t GRID_STEP = 2;

struct FlowSample {
    double x;
    double y;
    double u;
    double v;
    double w;
};

struct FlowVector {
    double u;
    double v;
};

FlowVector flowAt(const FlowField& field, std::int64_t row, std::int64_t column) {
    float uv[2];
    std::memcpy(uv,
                field.base + static_cast<std::size_t>(row) * field.rowPitch +
                    static_cast<std::size_t>(column) * sizeof uv,
                sizeof uv);
    return {uv[0], uv[1]};
}

bool readable(const FlowField& field) {
    return field.base != nullptr && field.columns > 0 && field.rows > 0 &&
           field.rowPitch >= static_cast<std::size_t>(field.columns) * 2 * sizeof(float);
}

bool finite(FlowVector flow) {
    return std::isfinite(flow.u) && std::isfinite(flow.v);
}

float frameDifference(const Frame& a, const Frame& b) {
    const std::size_t count = std::min(a.luma.size(), b.luma.size());
    float sum = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        sum += std::fabs(a.luma[i] - b.luma[i]);
    }
    return sum;
}

double warpError(const Frame& a, const Frame& b, std::int64_t width, const FlowField& field) {
    const std::int64_t rows = a.height;
    double sum = 0.0;
    for (std::int64_t y = 0; y < rows; ++y) {
        const std::int64_t fieldRow = std::min(y * field.rows / rows, field.rows - 1);
        for (std::int64_t x = 0; x < width; ++x) {
            const std::int64_t fieldColumn = std::min(x * field.columns / width, field.columns - 1);
            FlowVector flow = flowAt(field, fieldRow, fieldColumn);
            flow.u = flow.u * static_cast<double>(width) / static_cast<double>(field.columns);
            flow.v = flow.v * static_cast<double>(width) / static_cast<double>(field.columns);
            const auto index = static_cast<std::size_t>(y * width + x);
            const double comparison = finite(flow) ? lumaAt(b, static_cast<double>(x) + flow.u,
                                                            static_cast<double>(y) + flow.v, width)
                                                   : b.luma[index];
            sum += std::fabs(a.luma[index] - comparison);
        }
    }
    return sum / static_cast<double>(width * rows);
}

std::vector<FlowSample> sampleGrid(const Frame& a, std::int64_t width, const FlowField& field) {
    const auto columns = static_cast<double>(field.columns);
    const auto luma = [&](std::int64_t row, std::int64_t column) {
        return a.luma[static_cast<std::size_t>(row * width + column)];
    };
    std::vector<FlowSample> samples;
    samples.reserve(static_cast<std::size_t>((field.columns / 2) * (field.rows / 2)));
    for (std::int64_t r = 0; r < field.rows; r += GRID_STEP) {
        const double y = (static_cast<double>(r) - static_cast<double>(field.rows) / 2) / columns;
        const std::int64_t ly =
            std::min(std::max(r * a.height / field.rows, std::int64_t{1}), a.height - 2);
        for (std::int64_t c = 0; c < field.columns; c += GRID_STEP) {
            FlowVector flow = flowAt(field, r, c);
            flow.u /= columns;
            flow.v /= columns;
            if (!finite(flow)) {
                continue;
            }
            const std::int64_t lx =
                std::min(std::max(c * width / field.columns, std::int64_t{1}), width - 2);
            const float gx = luma(ly, lx + 1) - luma(ly, lx - 1);
            const float gy = luma(ly + 1, lx) - luma(ly - 1, lx);
            const float g = std::sqrt(gx * gx + gy * gy);
            const double w = std::min(static_cast<double>(g) / WEIGHT_SCALE, 1.0);
            samples.push_back(
                {(static_cast<double>(c) - columns / 2) / columns, y, flow.u, flow.v, w});
        }
    }
    return samples;
}

// Lower and upper percentile of `positions` (2nd and 98th), selected without a full sort.
std::pair<double, double> percentileBounds(std::vector<double>& positions) {
    const std::size_t k = positions.size() / PERCENTILE_DIVISOR;
    const auto lower = positions.begin() + static_cast<std::ptrdiff_t>(k);
    const auto upper = positions.end() - 1 - static_cast<std::ptrdiff_t>(k);
    std::nth_element(positions.begin(), upper, positions.end());
    std::nth_element(positions.begin(), lower, upper);
    return {*lower, *upper};
}

}  // namespace

MotionRecord measure(const Frame& a, const Frame& b, std::int64_t width, FlowEngine& engine) {
    const double difference =
        static_cast<double>(frameDifference(a, b)) / static_cast<double>(b.luma.size());
    const std::unique_ptr<FlowResult> result = engine.computeFlow(a, b, width);
    const FlowField field = result ? result->field() : FlowField{};
    if (!readable(field)) {
        return {difference, difference};
    }
    const double warp = warpError(a, b, width, field);
    const std::vector<FlowSample> samples = sampleGrid(a, width, field);

    double totalWeight = 0.0;
    for (const FlowSample& s : samples) {
        totalWeight += s.w;
    }
    if (!(totalWeight > 0.0)) {
        return {warp, difference};
    }
    double weightedLength = 0.0;
    Matrix3 m{};
    Vector3 bu{};
    Vector3 bv{};
    for (const FlowSample& s : samples) {
        weightedLength += s.w * std::sqrt(s.u * s.u + s.v * s.v);
        const Vector3 phi{1.0, s.x, s.y};
        for (std::size_t i = 0; i < 3; ++i) {
            const double t = s.w * phi[i];
            m[i][0] += t;
            m[i][1] += s.x * t;
            m[i][2] += s.y * t;
            bu[i] += s.u * t;
            bv[i] += s.v * t;
        }
    }
    const double magnitude = weightedLength / totalWeight;
    const std::optional<Vector3> pu = solve(m, bu);
    const std::optional<Vector3> pv = pu ? solve(m, bv) : std::nullopt;
    if (!pv) {
        return {warp, difference, magnitude};
    }

    const double columns = static_cast<double>(field.columns);
    const double rows = static_cast<double>(field.rows);
    std::vector<double> moverX;
    std::vector<double> moverY;
    double residual = 0.0;
    double energy = 0.0;
    for (const FlowSample& s : samples) {
        const double length = std::sqrt(s.u * s.u + s.v * s.v);
        if (s.w > MOVER_WEIGHT && length >= MOVER_SPEED / static_cast<double>(width)) {
            moverX.push_back(s.x + 0.5);
            moverY.push_back(s.y * columns / rows + 0.5);
        }
        const double ru = s.u - (((*pu)[0] + s.x * (*pu)[1]) + s.y * (*pu)[2]);
        const double rv = s.v - (((*pv)[0] + s.x * (*pv)[1]) + s.y * (*pv)[2]);
        residual += s.w * (ru * ru + rv * rv);
        energy += s.w * (s.u * s.u + s.v * s.v);
    }
    const double explained = energy > 0.0 ? 1.0 - residual / energy : 0.0;
    MotionRecord record{warp,
                        difference,
                        magnitude,
                        (*pu)[0],
                        (*pv)[0] * columns / rows,
                        ((*pu)[1] + (*pv)[2]) * 0.5,
                        ((*pv)[1] - (*pu)[2]) * 0.5,
                        explained >= 0.0 ? explained : 0.0};
    if (moverX.size() >= MIN_MOVERS) {
        std::tie(record[8], record[10]) = percentileBounds(moverX);
        std::tie(record[9], record[11]) = percentileBounds(moverY);
    }
    return record;
}

double det(const Matrix3& m) {
    return m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]) +
           (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
            m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]));
}

std::optional<Vector3> solve(const Matrix3& m, const Vector3& b) {
    const double d = det(m);
    if (!(std::fabs(d) > SINGULAR_DETERMINANT)) {
        return std::nullopt;
    }
    Vector3 result{};
    for (std::size_t i = 0; i < 3; ++i) {
        Matrix3 replaced = m;
        for (std::size_t j = 0; j < 3; ++j) {
            replaced[j][i] = b[j];
        }
        result[i] = det(replaced) / d;
    }
    return result;
}

double spread(const Frame& frame) {
    const auto n = static_cast<double>(frame.luma.size());
    double sum = 0.0;
    for (float value : frame.luma) {
        sum += value;
    }
    const double mean = sum / n;
    double squares = 0.0;
    for (float value : frame.luma) {
        const double deviation = value - mean;
        squares += deviation * deviation;
    }
    return std::sqrt(squares / n);
}

}  // namespace probes

#include "motion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "flow_engine_fake.h"
#include "probe_run.h"

namespace probes {
namespace {

using testing::FakeFlowEngine;

Frame frameOf(std::int64_t width, std::int64_t height,
              const std::function<float(std::int64_t x, std::int64_t y)>& luma) {
    Frame frame;
    frame.height = height;
    for (std::int64_t y = 0; y < height; ++y) {
        for (std::int64_t x = 0; x < width; ++x) {
            frame.luma.push_back(luma(x, y));
        }
    }
    return frame;
}

float noise(std::int64_t x, std::int64_t y) {
    const auto hash =
        static_cast<std::uint32_t>(x * 73856093) ^ static_cast<std::uint32_t>(y * 19349663);
    return static_cast<float>((hash * 2654435761u) >> 24) / 255.0f;
}

FakeFlowEngine uniformFlow(std::int64_t columns, std::int64_t rows, float u, float v) {
    return FakeFlowEngine(columns, rows, [u, v](std::int64_t, std::int64_t) {
        return std::pair{u, v};
    });
}

void expectZerosFrom(const MotionRecord& record, std::size_t first) {
    for (std::size_t i = first; i < record.size(); ++i) {
        EXPECT_EQ(record[i], 0.0) << "position " << i;
    }
}

TEST(Measure, IdenticalFramesWithoutFlowAreStill) {
    const Frame a = frameOf(64, 48, noise);
    FakeFlowEngine engine = uniformFlow(64, 48, 0, 0);
    const MotionRecord record = measure(a, a, 64, engine);
    expectZerosFrom(record, 0);
}

TEST(Measure, UniformTranslationIsAPureFittedPan) {
    const std::int64_t size = 320;
    const Frame a = frameOf(size, size, noise);
    const Frame b =
        frameOf(size, size, [](std::int64_t x, std::int64_t y) { return noise(x - 4, y); });
    FakeFlowEngine engine = uniformFlow(size, size, 4, 0);
    const MotionRecord record = measure(a, b, size, engine);
    EXPECT_NEAR(record[3], 4.0 / 320, 1e-12);  // panX
    EXPECT_NEAR(record[4], 0.0, 1e-12);        // panY
    EXPECT_NEAR(record[5], 0.0, 1e-12);        // zoom
    EXPECT_NEAR(record[6], 0.0, 1e-12);        // rotation
    EXPECT_NEAR(record[7], 1.0, 1e-9);         // fitQuality
    EXPECT_NEAR(record[2], 4.0 / 320, 1e-12);  // flowMagnitude
    EXPECT_LT(record[0], record[1]);           // the flow explains most of the change
    for (std::size_t i : {8, 9}) {
        EXPECT_NEAR(record[i], 0.02, 0.01) << i;
    }
    for (std::size_t i : {10, 11}) {
        EXPECT_NEAR(record[i], 0.98, 0.01) << i;
    }
}

TEST(Measure, ZoomAndRotationComeFromTheAffineTerms) {
    const std::int64_t size = 64;
    const Frame a = frameOf(size, size, noise);
    // u = s·x − r·y, v = r·x + s·y in field pixels around the centre.
    const double s = 0.05;
    const double r = 0.02;
    FakeFlowEngine engine(size, size, [&](std::int64_t c, std::int64_t row) {
        const double x = static_cast<double>(c) - size / 2.0;
        const double y = static_cast<double>(row) - size / 2.0;
        return std::pair{static_cast<float>(s * x - r * y), static_cast<float>(r * x + s * y)};
    });
    const MotionRecord record = measure(a, a, size, engine);
    EXPECT_NEAR(record[5], s, 1e-6);
    EXPECT_NEAR(record[6], r, 1e-6);
    EXPECT_NEAR(record[3], 0.0, 1e-6);
    EXPECT_NEAR(record[7], 1.0, 1e-6);
}

TEST(Measure, NonFiniteFlowEverywhereFallsBackWithUnwarpedDifference) {
    const Frame a = frameOf(32, 24, noise);
    const Frame b = frameOf(32, 24, [](std::int64_t x, std::int64_t y) { return noise(y, x); });
    double expected = 0.0;
    for (std::size_t i = 0; i < a.luma.size(); ++i) {
        expected += std::fabs(static_cast<double>(a.luma[i]) - b.luma[i]);
    }
    expected /= static_cast<double>(a.luma.size());
    for (float bad :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        FakeFlowEngine engine = uniformFlow(32, 24, 1.0f, bad);
        const MotionRecord record = measure(a, b, 32, engine);
        EXPECT_DOUBLE_EQ(record[0], expected);
        EXPECT_NEAR(record[1], expected, 1e-6);
        expectZerosFrom(record, 2);
    }
}

TEST(Measure, FlatEarlierFrameHasNoWeight) {
    const Frame a = frameOf(32, 24, [](std::int64_t, std::int64_t) { return 0.5f; });
    const Frame b = frameOf(32, 24, noise);
    FakeFlowEngine engine = uniformFlow(32, 24, 3, -2);
    const MotionRecord record = measure(a, b, 32, engine);
    EXPECT_GT(record[0], 0.0);
    EXPECT_GT(record[1], 0.0);
    expectZerosFrom(record, 2);
}

TEST(Measure, NoFlowFieldRepeatsTheFrameDifference) {
    const Frame a = frameOf(16, 8, noise);
    const Frame b = frameOf(16, 8, [](std::int64_t x, std::int64_t y) { return noise(x + 1, y); });
    FakeFlowEngine engine = uniformFlow(16, 8, 1, 1);
    engine.noResult = true;
    const MotionRecord record = measure(a, b, 16, engine);
    EXPECT_GT(record[1], 0.0);
    EXPECT_EQ(record[0], record[1]);
    expectZerosFrom(record, 2);
}

TEST(Measure, SingularFitKeepsOnlyTheMagnitude) {
    // A field of one row: every sample has the same y, so the normal matrix is singular.
    const Frame a = frameOf(32, 24, noise);
    FakeFlowEngine engine = uniformFlow(32, 1, 2, 0);
    const MotionRecord record = measure(a, a, 32, engine);
    EXPECT_NEAR(record[2], 2.0 / 32, 1e-12);
    expectZerosFrom(record, 3);
}

TEST(Measure, RefusalIsPassedOn) {
    const Frame a = frameOf(16, 8, noise);
    FakeFlowEngine engine = uniformFlow(16, 8, 0, 0);
    engine.refusal = "request failed";
    EXPECT_THROW(measure(a, a, 16, engine), PlatformError);
}

TEST(Measure, MoverBoxUsesTheSecondAndNinetyEighthPercentiles) {
    // A sawtooth ramp textures every sample equally; movers sit on the grid's diagonal at
    // positions 2i/256 (i = 0 … n − 1), so the box is positions k and n − 1 − k.
    const std::int64_t size = 256;
    const Frame a = frameOf(size, size, [](std::int64_t x, std::int64_t) {
        return 0.03f * static_cast<float>(x % 32);
    });
    struct Case {
        std::int64_t movers;
        std::int64_t k;
    };
    for (const Case c : {Case{7, -1}, Case{8, 0}, Case{50, 1}, Case{100, 2}}) {
        FakeFlowEngine engine(size, size, [&](std::int64_t column, std::int64_t row) {
            const bool mover = column == row && column % 2 == 0 && column / 2 < c.movers;
            return std::pair{mover ? 1.0f : 0.0f, 0.0f};
        });
        const MotionRecord record = measure(a, a, size, engine);
        if (c.k < 0) {
            expectZerosFrom(record, 8);
            continue;
        }
        const double low = 2.0 * static_cast<double>(c.k) / size;
        const double high = 2.0 * static_cast<double>(c.movers - 1 - c.k) / size;
        EXPECT_DOUBLE_EQ(record[8], low) << c.movers;
        EXPECT_DOUBLE_EQ(record[9], low) << c.movers;
        EXPECT_DOUBLE_EQ(record[10], high) << c.movers;
        EXPECT_DOUBLE_EQ(record[11], high) << c.movers;
    }
}

TEST(LumaAt, ClampsAndInterpolates) {
    const Frame frame = frameOf(
        4, 3, [](std::int64_t x, std::int64_t y) { return static_cast<float>(x + 10 * y); });
    struct Case {
        double x;
        double y;
        double expected;
    };
    for (const Case c : {Case{-5, -5, 0}, Case{3, 2, 23}, Case{50, 70, 23}, Case{0.5, 0, 0.5},
                         Case{1, 0.25, 3.5}, Case{2.5, 1.5, 17.5}}) {
        EXPECT_DOUBLE_EQ(lumaAt(frame, c.x, c.y, 4), c.expected) << c.x << "," << c.y;
    }
}

TEST(Solve, RefusesNearlySingularMatrices) {
    const Vector3 b{1, 2, 3};
    EXPECT_FALSE(solve({{{1e-13, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, b).has_value());
    const auto solved = solve({{{2e-12, 0, 0}, {0, 1, 0}, {0, 0, 1}}}, b);
    ASSERT_TRUE(solved.has_value());
    EXPECT_DOUBLE_EQ((*solved)[0], 0.5e12);
    EXPECT_DOUBLE_EQ((*solved)[1], 2);
    EXPECT_DOUBLE_EQ((*solved)[2], 3);
}

TEST(Solve, FindsTheCramerSolution) {
    const Matrix3 m{{{2, 1, -1}, {-3, -1, 2}, {-2, 1, 2}}};
    EXPECT_DOUBLE_EQ(det(m), -1);
    const auto solved = solve(m, {8, -11, -3});
    ASSERT_TRUE(solved.has_value());
    EXPECT_NEAR((*solved)[0], 2, 1e-12);
    EXPECT_NEAR((*solved)[1], 3, 1e-12);
    EXPECT_NEAR((*solved)[2], -1, 1e-12);
}

TEST(Spread, IsThePopulationStandardDeviation) {
    EXPECT_DOUBLE_EQ(
        spread(frameOf(4, 2, [](std::int64_t x, std::int64_t) { return x < 2 ? 0.0f : 1.0f; })),
        0.5);
    EXPECT_EQ(spread(frameOf(3, 3, [](std::int64_t, std::int64_t) { return 0.25f; })), 0.0);
    EXPECT_TRUE(std::isnan(spread(Frame{})));
}

}  // namespace
}  // namespace probes

#include "media_time.h"

#include <gtest/gtest.h>

namespace filmstrip {
namespace {

const MediaTime kInvalid = MediaTime::invalid();
const MediaTime kPlusInf = MediaTime::plusInfinity();
const MediaTime kMinusInf = MediaTime::minusInfinity();
const MediaTime kIndefinite = MediaTime::indefinite();

MediaTime at(int64_t value, int32_t timescale) {
    return MediaTime::make(value, timescale);
}

struct ArithmeticCase {
    MediaTime a, b, sum, difference;
};

class ArithmeticTest : public ::testing::TestWithParam<ArithmeticCase> {};

TEST_P(ArithmeticTest, AddsAndSubtractsExactly) {
    const ArithmeticCase& c = GetParam();
    const MediaTime sum = c.a + c.b;
    const MediaTime difference = c.a - c.b;
    EXPECT_EQ(sum, c.sum);
    EXPECT_EQ(sum.isValid(), c.sum.isValid());
    EXPECT_EQ(difference, c.difference);
    EXPECT_EQ(difference.isValid(), c.difference.isValid());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ArithmeticTest,
    ::testing::Values(ArithmeticCase{at(1, 30), at(1, 30), at(2, 30), at(0, 1)},
                      ArithmeticCase{at(115200, 1000), at(5, 1), at(120200, 1000),
                                     at(110200, 1000)},
                      ArithmeticCase{at(1, 3), at(1, 2), at(5, 6), at(-1, 6)},
                      ArithmeticCase{at(10, 1), at(1, 30), at(301, 30), at(299, 30)},
                      ArithmeticCase{at(1, 1), kPlusInf, kPlusInf, kMinusInf},
                      ArithmeticCase{kMinusInf, at(1, 1), kMinusInf, kMinusInf},
                      ArithmeticCase{kPlusInf, kPlusInf, kPlusInf, kInvalid},
                      ArithmeticCase{kPlusInf, kMinusInf, kInvalid, kPlusInf},
                      ArithmeticCase{kIndefinite, at(1, 1), kIndefinite, kIndefinite},
                      ArithmeticCase{kInvalid, kIndefinite, kInvalid, kInvalid},
                      ArithmeticCase{at(INT64_MAX, 1), at(1, 1), kPlusInf, at(INT64_MAX - 1, 1)}));

TEST(MediaTimeTest, TimescalesTooLargeToCombineAreRoundedAndMarked) {
    const MediaTime host = at(110'200'000'000, 1'000'000'000);  // nanoseconds
    const MediaTime frame = at(1, 30);                          // lcm does not fit 32 bits
    const MediaTime sum = host + frame;
    EXPECT_EQ(sum.timescale, MediaTime::kMaxTimescale);
    EXPECT_TRUE(sum.flags & MediaTime::HasBeenRounded);
    EXPECT_NEAR(sum.seconds(), 110.2 + 1.0 / 30, 1e-9);
    EXPECT_FALSE((host + at(1, 1000)).flags & MediaTime::HasBeenRounded);
}

TEST(MediaTimeTest, OrdersEveryKindOfTime) {
    const std::vector<MediaTime> ascending = {kMinusInf, at(-1, 1), at(0, 7),    at(1, 3),
                                              at(1, 2),  kPlusInf,  kIndefinite, kInvalid};
    for (size_t i = 0; i < ascending.size(); ++i) {
        for (size_t j = 0; j < ascending.size(); ++j) {
            EXPECT_EQ(compare(ascending[i], ascending[j]), i <=> j) << i << " vs " << j;
        }
    }
    EXPECT_EQ(at(2, 4), at(1, 2));
}

TEST(MediaTimeTest, OnlyFiniteValidTimesAreNumeric) {
    EXPECT_TRUE(at(0, 1).isNumeric());
    for (const MediaTime& time : {kInvalid, kPlusInf, kMinusInf, kIndefinite, at(1, 0)}) {
        EXPECT_FALSE(time.isNumeric());
    }
    EXPECT_DOUBLE_EQ(at(3, 2).seconds(), 1.5);
}

}  // namespace
}  // namespace filmstrip

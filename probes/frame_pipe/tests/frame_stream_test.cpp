#include "frame_stream.h"

#include <gtest/gtest.h>

#include "probe_testing.h"

namespace probes {
namespace {

using testing::Bgr;
using testing::concat;
using testing::makeBmp;
using testing::MemorySource;

Bgr gradient(int x, int y) {
    return {static_cast<std::uint8_t>(10 * x), static_cast<std::uint8_t>(20 * y),
            static_cast<std::uint8_t>(x + y)};
}

TEST(Read, NonPositiveCountReturnsEmptyWithoutReading) {
    for (std::int64_t count : {0, -1, -100}) {
        MemorySource source({1, 2, 3});
        const auto bytes = read(source, count);
        ASSERT_TRUE(bytes.has_value());
        EXPECT_TRUE(bytes->empty());
        EXPECT_EQ(source.reads, 0);
    }
}

TEST(Read, GathersExactlyCountAcrossPartialReads) {
    MemorySource source({1, 2, 3, 4, 5, 6, 7}, 2);
    EXPECT_EQ(read(source, 5), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(read(source, 2), (Bytes{6, 7}));
    EXPECT_FALSE(read(source, 1).has_value());
}

TEST(Read, ShortStreamGivesNothing) {
    MemorySource source({1, 2, 3}, 1);
    EXPECT_FALSE(read(source, 4).has_value());
}

TEST(ReadFrameBytes, SplitsConcatenatedFilesBySizeField) {
    const Bytes first = makeBmp(3, 2, gradient);
    const Bytes second = makeBmp(5, 1, gradient);
    MemorySource source(concat({first, second}), 7);
    EXPECT_EQ(readFrameBytes(source), first);
    EXPECT_EQ(readFrameBytes(source), second);
    EXPECT_FALSE(readFrameBytes(source).has_value());
}

TEST(ReadFrameBytes, TruncatedStreamEndsWithoutTheFrame) {
    const Bytes whole = makeBmp(4, 4, gradient);
    const std::size_t midPixel = testing::BMP_HEADER + 7;  // inside the pixel data
    for (std::size_t kept : {std::size_t{0}, std::size_t{3}, midPixel, whole.size() - 1}) {
        MemorySource source(Bytes(whole.begin(), whole.begin() + static_cast<long>(kept)));
        EXPECT_FALSE(readFrameBytes(source).has_value()) << kept << " bytes";
    }
}

TEST(LumaFrame, BottomUpAndTopDownGiveTheSameLuma) {
    for (int width : {1, 2, 3, 5}) {
        const Frame bottomUp = lumaFrame(makeBmp(width, 3, gradient));
        const Frame topDown = lumaFrame(makeBmp(width, 3, gradient, true));
        EXPECT_EQ(bottomUp.height, 3);
        EXPECT_EQ(topDown.height, 3);
        EXPECT_EQ(bottomUp.luma, topDown.luma) << "width " << width;
        ASSERT_EQ(bottomUp.luma.size(), static_cast<std::size_t>(3 * width));
        // First element is the top-left pixel: gradient(0, 0) is black.
        EXPECT_EQ(bottomUp.luma[0], 0.0f);
    }
}

TEST(LumaFrame, RowsHonourThePaddedStride) {
    // Width 2 pads 6 bytes to 8, width 3 pads 9 to 12; width 320 needs no padding.
    for (int width : {2, 3, 320}) {
        const Bytes bmp = makeBmp(width, 2, [](int x, int y) {
            return y == 1 && x == 0 ? Bgr{255, 255, 255} : Bgr{};
        });
        const std::size_t stride = (3 * static_cast<std::size_t>(width) + 3) & ~std::size_t{3};
        EXPECT_EQ(bmp.size(), testing::BMP_HEADER + 2 * stride);
        const Frame frame = lumaFrame(bmp);
        EXPECT_EQ(frame.luma[static_cast<std::size_t>(width)], 1.0f) << "width " << width;
        EXPECT_EQ(frame.luma[0], 0.0f);
        EXPECT_EQ(frame.bmp, bmp);
    }
}

TEST(LumaFrame, PrimaryColoursGiveTheirWeights) {
    struct Case {
        Bgr pixel;
        float luma;
    };
    for (const Case& c :
         {Case{{255, 255, 255}, 1.0f}, Case{{255, 0, 0}, 0.114f}, Case{{0, 255, 0}, 0.587f},
          Case{{0, 0, 255}, 0.299f}, Case{{0, 0, 0}, 0.0f}}) {
        const Frame frame = lumaFrame(makeBmp(1, 1, [&](int, int) { return c.pixel; }));
        EXPECT_FLOAT_EQ(frame.luma.at(0), c.luma);
    }
    const Frame white = lumaFrame(makeBmp(1, 1, [](int, int) { return Bgr{255, 255, 255}; }));
    EXPECT_EQ(white.luma.at(0), 1.0f);
}

TEST(GreyImage, IsTheLumaInEightBitsWithinOneStep) {
    // Every pixel of a colourful picture, in both row orders and with padded rows.
    const auto colours = [](int x, int y) {
        return Bgr{static_cast<std::uint8_t>(37 * x + 11 * y), static_cast<std::uint8_t>(90 * y),
                   static_cast<std::uint8_t>(255 - 23 * x)};
    };
    GreyImage grey;
    for (bool topDown : {false, true}) {
        const Bytes bmp = makeBmp(7, 3, colours, topDown);
        const Frame frame = lumaFrame(bmp);
        greyImage(bmp, grey);
        EXPECT_EQ(grey.width, 7);
        EXPECT_EQ(grey.height, 3);
        ASSERT_EQ(grey.pixels.size(), frame.luma.size());
        for (std::size_t i = 0; i < frame.luma.size(); ++i) {
            EXPECT_NEAR(grey.pixels[i], frame.luma[i] * 255.0f, 1.0f) << i;
        }
    }
    greyImage(makeBmp(2, 1, [](int x, int) { return x == 0 ? Bgr{255, 255, 255} : Bgr{}; }), grey);
    EXPECT_EQ(grey.pixels, (std::vector<std::uint8_t>{255, 0}));
    EXPECT_THROW(greyImage(Bytes(10, 0), grey), MalformedFrame);
}

TEST(LumaFrame, NoRowsGivesAnEmptyFrame) {
    const Frame frame = lumaFrame(makeBmp(4, 0, gradient));
    EXPECT_EQ(frame.height, 0);
    EXPECT_TRUE(frame.luma.empty());
}

TEST(LumaFrame, RefusesFramesThatBreakTheLimits) {
    const Bytes good = makeBmp(4, 3, gradient);
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
    };
    const Case cases[] = {
        {"shorter than the header", [](Bytes& b) { b.resize(25); }},
        {"negative width", [](Bytes& b) { testing::putLittleEndian(b, 18, 0xFFFFFFFEu); }},
        {"pixel offset past the end",
         [](Bytes& b) { testing::putLittleEndian(b, 10, 0xFFFFFFF0u); }},
        {"too many rows", [](Bytes& b) { testing::putLittleEndian(b, 22, 4); }},
        {"huge height", [](Bytes& b) { testing::putLittleEndian(b, 22, 0x80000000u); }},
        {"huge width", [](Bytes& b) { testing::putLittleEndian(b, 18, 0x7FFFFFFFu); }},
        {"last row cut short", [](Bytes& b) { b.pop_back(); }},
    };
    for (const Case& c : cases) {
        Bytes bad = good;
        c.damage(bad);
        EXPECT_THROW(lumaFrame(bad), MalformedFrame) << c.name;
    }
}

TEST(ReadBmp, ReadsFramesInOrderUntilTheStreamEnds) {
    MemorySource source(concat({makeBmp(2, 2, gradient), makeBmp(3, 1, gradient, true)}), 5);
    const auto first = readBmp(source);
    const auto second = readBmp(source);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->luma.size(), 4u);
    EXPECT_EQ(second->luma.size(), 3u);
    EXPECT_FALSE(readBmp(source).has_value());
}

}  // namespace
}  // namespace probes

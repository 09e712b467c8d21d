#include "frame_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace probes {
namespace {

constexpr std::int64_t SIZE_PREFIX = 6;  // signature and file-size field
constexpr std::int64_t MIN_HEADER = 26;  // the luma conversion reads up to byte 25
// Growth step of a frame buffer, so that a huge announced size costs memory only as bytes arrive.
constexpr std::int64_t READ_CHUNK = std::int64_t{1} << 22;

// The three luma weights, applied in single precision as B, G, R.
constexpr float WEIGHT_BLUE = 0.114f;
constexpr float WEIGHT_GREEN = 0.587f;
constexpr float WEIGHT_RED = 0.299f;
// The same weights in 1/256 steps, summing to 256 so that white stays 255.
constexpr std::uint32_t GREY_BLUE = 29;
constexpr std::uint32_t GREY_GREEN = 150;
constexpr std::uint32_t GREY_RED = 77;
constexpr std::uint32_t GREY_SHIFT = 8;
constexpr std::uint32_t GREY_HALF = 1U << (GREY_SHIFT - 1);

std::uint32_t unsigned32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} | std::uint32_t{bytes[offset + 1]} << 8 |
           std::uint32_t{bytes[offset + 2]} << 16 | std::uint32_t{bytes[offset + 3]} << 24;
}

std::int32_t signed32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    return static_cast<std::int32_t>(unsigned32(bytes, offset));
}

// Where the stored pixel rows lie inside one BMP file.
struct PixelLayout {
    std::int64_t width;
    std::int64_t rows;
    bool bottomUp;
    std::int64_t offset;
    std::int64_t stride;
};

PixelLayout pixelLayout(std::span<const std::uint8_t> bmp) {
    const auto size = static_cast<std::int64_t>(bmp.size());
    if (size < MIN_HEADER) {
        throw MalformedFrame("frame of " + std::to_string(size) + " bytes has no complete header");
    }
    const std::int64_t rawHeight = signed32(bmp, 22);
    PixelLayout layout{signed32(bmp, 18), std::abs(rawHeight), rawHeight > 0, unsigned32(bmp, 10),
                       0};
    if (layout.width < 0) {
        throw MalformedFrame("frame has a negative width");
    }
    layout.stride = (3 * layout.width + 3) & ~std::int64_t{3};
    const std::int64_t rowBytes = 3 * layout.width;
    // offset + (rows - 1) * stride + 3 * width <= size, without overflowing.
    const bool fits = layout.rows == 0 || layout.width == 0 ||
                      (layout.offset + rowBytes <= size &&
                       layout.rows - 1 <= (size - layout.offset - rowBytes) / layout.stride);
    if (!fits) {
        throw MalformedFrame("frame pixels extend past its " + std::to_string(size) + " bytes");
    }
    return layout;
}

}  // namespace

std::ptrdiff_t FdSource::readSome(std::uint8_t* into, std::size_t capacity) {
    for (;;) {
        const ssize_t got = ::read(fd_, into, capacity);
        if (got >= 0 || errno != EINTR) {
            return got;
        }
    }
}

std::optional<Bytes> read(ByteSource& frames, std::int64_t count) {
    Bytes buffer;
    std::int64_t held = 0;
    while (held < count) {
        const std::int64_t want = std::min(count - held, READ_CHUNK);
        buffer.resize(static_cast<std::size_t>(held + want));
        const std::ptrdiff_t got =
            frames.readSome(buffer.data() + held, static_cast<std::size_t>(want));
        if (got <= 0) {
            return std::nullopt;
        }
        held += got;
    }
    buffer.resize(static_cast<std::size_t>(held));
    return buffer;
}

std::optional<Bytes> readFrameBytes(ByteSource& frames) {
    auto bytes = read(frames, SIZE_PREFIX);
    if (!bytes) {
        return std::nullopt;
    }
    const std::int64_t fileSize = unsigned32(*bytes, 2);
    auto rest = read(frames, fileSize - SIZE_PREFIX);
    if (!rest) {
        return std::nullopt;
    }
    bytes->insert(bytes->end(), rest->begin(), rest->end());
    return bytes;
}

Frame lumaFrame(Bytes bmp) {
    const PixelLayout layout = pixelLayout(bmp);
    Frame frame;
    frame.height = layout.rows;
    frame.luma.assign(static_cast<std::size_t>(layout.width * layout.rows), 0.0f);
    for (std::int64_t y = 0; layout.width > 0 && y < layout.rows; ++y) {
        const std::int64_t stored = layout.bottomUp ? layout.rows - 1 - y : y;
        const std::uint8_t* pixel = bmp.data() + layout.offset + stored * layout.stride;
        float* out = frame.luma.data() + y * layout.width;
        for (std::int64_t x = 0; x < layout.width; ++x, pixel += 3) {
            const float blue = pixel[0];
            const float green = pixel[1];
            const float red = pixel[2];
            out[x] = ((blue * WEIGHT_BLUE + green * WEIGHT_GREEN) + red * WEIGHT_RED) / 255.0f;
        }
    }
    frame.bmp = std::move(bmp);
    return frame;
}

void greyImage(std::span<const std::uint8_t> bmp, GreyImage& image) {
    const PixelLayout layout = pixelLayout(bmp);
    image.width = layout.width;
    image.height = layout.rows;
    image.pixels.resize(static_cast<std::size_t>(layout.width * layout.rows));
    for (std::int64_t y = 0; layout.width > 0 && y < layout.rows; ++y) {
        const std::int64_t stored = layout.bottomUp ? layout.rows - 1 - y : y;
        const std::uint8_t* pixel = bmp.data() + layout.offset + stored * layout.stride;
        std::uint8_t* out = image.pixels.data() + y * layout.width;
        for (std::int64_t x = 0; x < layout.width; ++x, pixel += 3) {
            out[x] = static_cast<std::uint8_t>(
                (pixel[0] * GREY_BLUE + pixel[1] * GREY_GREEN + pixel[2] * GREY_RED + GREY_HALF) >>
                GREY_SHIFT);
        }
    }
}

std::optional<Frame> readBmp(ByteSource& frames) {
    auto bytes = readFrameBytes(frames);
    if (!bytes) {
        return std::nullopt;
    }
    return lumaFrame(std::move(*bytes));
}

}  // namespace probes

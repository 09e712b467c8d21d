#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace probes {

using Bytes = std::vector<std::uint8_t>;

// Where frame bytes come from: the decoder's pipe in the probes, memory in tests and fuzzing.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // Blocks until at least one byte is available; returns how many bytes were stored (at most
    // `capacity`), 0 at end of stream, or a negative value on a read error.
    virtual std::ptrdiff_t readSome(std::uint8_t* into, std::size_t capacity) = 0;
};

// Reads a file descriptor, retrying reads that a signal interrupts.
class FdSource : public ByteSource {
  public:
    explicit FdSource(int fd) : fd_(fd) {}
    std::ptrdiff_t readSome(std::uint8_t* into, std::size_t capacity) override;

  private:
    int fd_;
};

// A frame the probe cannot use safely; the run ends with its message.
class MalformedFrame : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One decoded frame of the flow probe: the BMP file as received, its luma (rows top to bottom,
// values 0 … 1) and its number of rows.
struct Frame {
    Bytes bmp;
    std::vector<float> luma;
    std::int64_t height = 0;
};

// Exactly `count` bytes, or nothing when the stream ends or fails first. A count of zero or less
// gives an empty buffer without reading.
std::optional<Bytes> read(ByteSource& frames, std::int64_t count);

// One complete BMP file from the stream, framed by the file-size field of its header; nothing at
// the end of the stream (a partial frame is dropped).
std::optional<Bytes> readFrameBytes(ByteSource& frames);

// The luma conversion of one BMP file; throws MalformedFrame when the stored pixel rows would
// reach outside the bytes.
Frame lumaFrame(Bytes bmp);

// One BMP file as 8-bit grey (the same luma weights in integer arithmetic), rows top to bottom.
struct GreyImage {
    std::vector<std::uint8_t> pixels;
    std::int64_t width = 0;
    std::int64_t height = 0;
};

// The grey conversion of one BMP file into `image` (its buffer is reused); throws MalformedFrame
// like lumaFrame.
void greyImage(std::span<const std::uint8_t> bmp, GreyImage& image);

// readFrameBytes followed by the luma conversion; nothing at the end of the stream.
std::optional<Frame> readBmp(ByteSource& frames);

}  // namespace probes

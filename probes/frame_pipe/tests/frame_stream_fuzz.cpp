// Feeds arbitrary bytes through the frame framing and the luma conversion, in pipe-sized and
// odd-sized pieces; malformed frames must be refused, never read outside their bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "frame_stream.h"

namespace {

class FuzzSource : public probes::ByteSource {
  public:
    FuzzSource(const std::uint8_t* data, std::size_t size, std::size_t chunk)
        : data_(data), size_(size), chunk_(chunk) {}

    std::ptrdiff_t readSome(std::uint8_t* into, std::size_t capacity) override {
        std::size_t count = capacity < chunk_ ? capacity : chunk_;
        count = count < size_ - position_ ? count : size_ - position_;
        if (count > 0) {
            std::memcpy(into, data_ + position_, count);
        }
        position_ += count;
        return static_cast<std::ptrdiff_t>(count);
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t chunk_;
    std::size_t position_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    // The first byte picks the size of the pieces the "pipe" delivers.
    FuzzSource source(data + 1, size - 1, std::size_t{data[0]} + 1);
    for (;;) {
        try {
            const auto frame = probes::readBmp(source);
            if (!frame) {
                break;
            }
        } catch (const probes::MalformedFrame&) {
        }
    }
    return 0;
}

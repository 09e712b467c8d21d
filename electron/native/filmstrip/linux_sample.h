// The samples the Linux capture backends deliver and the Linux writer consumes: a video frame
// (BGRA, or NV12 for the 4:2:0 formats) or a block of interleaved 32-bit float audio. The media
// data is immutable and shared between a sample and its copies.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media.h"

namespace filmstrip {

struct VideoFrame {
    int width = 0;
    int height = 0;
    uint32_t pixelFormat = 0;  // kPixelFormatBGRA, kPixelFormat420v or kPixelFormat420f
    // BGRA: one plane of width * 4 bytes per row. NV12: luma rows, then interleaved chroma.
    std::vector<uint8_t> planes[2];
    int strides[2] = {0, 0};
    // Pixels kept elsewhere instead of in `planes` (the shared memory an X server wrote the
    // picture into), alive as long as `pixelOwner` is.
    std::shared_ptr<const void> pixelOwner;
    const uint8_t* externalPlanes[2] = {nullptr, nullptr};

    const uint8_t* plane(int index) const {
        return externalPlanes[index] != nullptr ? externalPlanes[index] : planes[index].data();
    }
};

struct AudioBlock {
    int sampleRate = 0;
    int channels = 0;
    std::vector<float> interleaved;  // frames * channels values
};

class LinuxSample final : public Sample {
  public:
    LinuxSample(std::shared_ptr<const VideoFrame> frame, std::shared_ptr<const AudioBlock> audio,
                SampleTiming timing)
        : frame_(std::move(frame)), audio_(std::move(audio)), timing_(timing) {}

    bool hasImageBuffer() const override { return frame_ != nullptr; }
    MediaTime presentationTimeStamp() const override { return timing_.presentationTimeStamp; }
    MediaTime duration() const override { return timing_.duration; }
    std::optional<std::vector<SampleTiming>> timingInfo() const override {
        return std::vector<SampleTiming>{timing_};
    }
    std::shared_ptr<Sample> copyWithNewTiming(
        const std::vector<SampleTiming>& timing) const override {
        if (timing.size() != 1) {
            return nullptr;
        }
        return std::make_shared<LinuxSample>(frame_, audio_, timing.front());
    }

    const std::shared_ptr<const VideoFrame>& frame() const { return frame_; }
    const std::shared_ptr<const AudioBlock>& audio() const { return audio_; }

  private:
    std::shared_ptr<const VideoFrame> frame_;
    std::shared_ptr<const AudioBlock> audio_;
    SampleTiming timing_;
};

}  // namespace filmstrip

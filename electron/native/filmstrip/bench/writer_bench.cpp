// Encoding throughput of the Linux MP4 writer: feeds distinct 1920x1080 BGRA frames stamped
// at 30 fps into the FFmpeg writer as fast as it accepts them and prints frames per second
// and CPU seconds per second of video, for H.264 and for HEVC. Real time needs >= 30 fps.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

#include "linux_sample.h"
#include "media_linux.h"
#include "serial_executor.h"

using namespace filmstrip;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::shared_ptr<const VideoFrame> frameNumber(int index, int width, int height) {
    auto frame = std::make_shared<VideoFrame>();
    frame->width = width;
    frame->height = height;
    frame->pixelFormat = kPixelFormatBGRA;
    frame->strides[0] = width * 4;
    frame->planes[0].resize(static_cast<size_t>(width * 4 * height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pixel = &frame->planes[0][static_cast<size_t>((y * width + x) * 4)];
            pixel[0] = static_cast<uint8_t>(x + index * 8);
            pixel[1] = static_cast<uint8_t>(y + index * 4);
            pixel[2] = static_cast<uint8_t>((x ^ y) + index);
            pixel[3] = 255;
        }
    }
    return frame;
}

void run(VideoCodec codec, const char* name, int frames) {
    constexpr int kWidth = 1920;
    constexpr int kHeight = 1080;
    constexpr int kRate = 30;
    const std::string path =
        (std::filesystem::temp_directory_path() / "filmstrip-writer-bench.mp4").string();
    std::filesystem::remove(path);
    std::vector<std::shared_ptr<const VideoFrame>> pictures;
    for (int i = 0; i < 16; ++i) {
        pictures.push_back(frameNumber(i, kWidth, kHeight));
    }
    SerialExecutor completions;
    WriterResult made = MakeFFmpegWriter(path, completions);
    auto writer = made.writer;
    writer->setMovieFragmentInterval(MediaTime::make(5, 1));
    VideoSettings settings;
    settings.codec = codec;
    settings.width = kWidth;
    settings.height = kHeight;
    settings.captureFrameRate = kRate;
    settings.averageBitRate =
        codec == VideoCodec::H264 ? std::optional<int64_t>(5000000) : std::nullopt;
    auto input = writer->makeVideoInput(settings);
    writer->addInput(input);
    if (!writer->startWriting()) {
        std::printf("%s: cannot start: %s\n", name, writer->error()->description.c_str());
        return;
    }
    writer->startSession(MediaTime::zero());
    const double cpuBefore = cpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
        while (!input->isReadyForMoreMediaData()) {
            std::this_thread::yield();
        }
        input->appendSample(std::make_shared<LinuxSample>(
            pictures[static_cast<size_t>(i) % pictures.size()], nullptr,
            SampleTiming{MediaTime::make(1, kRate), MediaTime::make(i, kRate),
                         MediaTime::invalid()}));
    }
    writer->endSession(MediaTime::make(frames, kRate));
    input->markAsFinished();
    std::promise<void> done;
    writer->finishWriting([&done] { done.set_value(); });
    done.get_future().wait();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double cpu = cpuSeconds() - cpuBefore;
    const double videoSeconds = static_cast<double>(frames) / kRate;
    std::printf(
        "%s 1920x1080: %d frames in %.2f s = %.1f fps (real time needs %d); "
        "%.2f CPU-s per video second; file %.1f MB\n",
        name, frames, wall, frames / wall, kRate, cpu / videoSeconds,
        static_cast<double>(std::filesystem::file_size(path)) / 1e6);
    std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 300;
    run(VideoCodec::H264, "H.264 (libx264)", frames);
    run(VideoCodec::HEVC, "HEVC (libx265)", frames);
}

// The Linux MP4 writer on its own: refusals, readiness and a small finished file.
#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <filesystem>
#include <fstream>
#include <future>

#include "linux_sample.h"
#include "media_fake.h"
#include "media_linux.h"
#include "serial_executor.h"

namespace filmstrip {
namespace {

class WriterTest : public ::testing::Test {
  protected:
    WriterTest() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        directory =
            std::filesystem::temp_directory_path() /
            (std::string("filmstrip-writer-") + info->name() + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory);
        path = (directory / "out.mp4").string();
    }
    ~WriterTest() override { std::filesystem::remove_all(directory); }

    static VideoSettings video(int64_t width, int64_t height) {
        VideoSettings settings;
        settings.width = width;
        settings.height = height;
        settings.captureFrameRate = 10;
        return settings;
    }

    static std::shared_ptr<Sample> frame(int index) {
        auto image = std::make_shared<VideoFrame>();
        image->width = 64;
        image->height = 48;
        image->pixelFormat = kPixelFormatBGRA;
        image->strides[0] = 64 * 4;
        image->planes[0].assign(64 * 4 * 48, static_cast<uint8_t>(index * 40));
        return std::make_shared<LinuxSample>(
            image, nullptr,
            SampleTiming{MediaTime::make(1, 10), MediaTime::make(index, 10), MediaTime::invalid()});
    }

    void finish(AssetWriter& writer) {
        std::promise<void> done;
        writer.finishWriting([&done] { done.set_value(); });
        done.get_future().wait();
    }

    SerialExecutor completions;
    std::filesystem::path directory;
    std::string path;
};

TEST_F(WriterTest, RefusesAPathThatExistsAndLeavesTheFile) {
    std::ofstream(path) << "kept";
    const WriterResult made = MakeFFmpegWriter(path, completions);
    EXPECT_FALSE(made.writer);
    ASSERT_TRUE(made.error);
    EXPECT_EQ(made.error->code, EEXIST);
    EXPECT_EQ(made.error->description, "Cannot create " + path + ": File exists");
    std::ifstream kept(path);
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "kept");
}

TEST_F(WriterTest, SaysWhenTheFolderIsMissing) {
    std::ofstream(directory / "plain") << "a file, not a folder";
    for (const std::filesystem::path& folder : {directory / "missing", directory / "plain"}) {
        const std::string file = (folder / "out.mp4").string();
        const WriterResult made = MakeFFmpegWriter(file, completions);
        EXPECT_FALSE(made.writer);
        ASSERT_TRUE(made.error);
        EXPECT_EQ(made.error->domain, kPosixErrorDomain);
        EXPECT_EQ(made.error->code, ENOENT);
        EXPECT_EQ(made.error->description,
                  "Cannot create " + file + ": the folder " + folder.string() + " does not exist");
    }
}

TEST_F(WriterTest, TakesOnlyPictureSizesItsEncodersSupport) {
    const std::vector<std::pair<std::pair<int64_t, int64_t>, bool>> cases = {
        {{64, 48}, true},  {{8192, 8192}, true}, {{0, 48}, false},
        {{63, 48}, false}, {{64, -2}, false},    {{8194, 48}, false}};
    for (const auto& [size, accepted] : cases) {
        auto writer = MakeFFmpegWriter(path, completions).writer;
        EXPECT_EQ(writer->canAddInput(writer->makeVideoInput(video(size.first, size.second))),
                  accepted)
            << size.first << "x" << size.second;
    }
}

TEST_F(WriterTest, WritesAFileAndRefusesSamplesOnceFinished) {
    auto writer = MakeFFmpegWriter(path, completions).writer;
    auto input = writer->makeVideoInput(video(64, 48));
    ASSERT_TRUE(writer->canAddInput(input));
    writer->addInput(input);
    EXPECT_FALSE(writer->canAddInput(writer->makeVideoInput(video(64, 48))));  // one per kind
    EXPECT_FALSE(input->isReadyForMoreMediaData());                            // not writing yet
    ASSERT_TRUE(writer->startWriting());
    EXPECT_EQ(writer->status(), WriterStatus::Writing);
    writer->startSession(MediaTime::zero());
    for (int i = 0; i < 5; ++i) {
        while (!input->isReadyForMoreMediaData()) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(input->appendSample(frame(i)));
    }
    EXPECT_FALSE(input->appendSample(
        fake::FakeSample::video(MediaTime::make(6, 10), MediaTime::make(1, 10))));
    writer->endSession(MediaTime::make(5, 10));
    input->markAsFinished();
    EXPECT_FALSE(input->isReadyForMoreMediaData());
    EXPECT_FALSE(input->appendSample(frame(5)));
    finish(*writer);
    EXPECT_EQ(writer->status(), WriterStatus::Completed);
    EXPECT_FALSE(writer->error());
    EXPECT_GT(std::filesystem::file_size(path), 0u);
    finish(*writer);  // a second finish completes at once
}

// The first video packet's time in the file, in seconds; none when the file has no video.
std::optional<double> firstVideoTime(const std::string& path) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
        return std::nullopt;
    }
    std::optional<double> first;
    const int video = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVPacket* packet = av_packet_alloc();
    while (video >= 0 && !first && av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == video) {
            first = static_cast<double>(packet->pts) * av_q2d(format->streams[video]->time_base);
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return first;
}

// A still screen: one picture, then sound only, then the stop's hold frame. The session
// starts with the first sample the recorder is given; a sound block stamped after the picture
// can come first, because a picture is stamped before the screen is read.
TEST_F(WriterTest, TheFirstPictureOfAStillScreenIsWrittenFromTheSessionStart) {
    for (const MediaTime sessionStart : {MediaTime::zero(), MediaTime::make(2, 100)}) {
        SCOPED_TRACE(sessionStart.seconds());
        const std::string file =
            (directory / (std::to_string(sessionStart.value) + ".mp4")).string();
        auto writer = MakeFFmpegWriter(file, completions).writer;
        writer->setMovieFragmentInterval(MediaTime::make(1, 1));  // as the recorder asks
        auto picture = writer->makeVideoInput(video(64, 48));
        auto sound = writer->makeAudioInput(
            AudioSettings{kAudioFormatMPEG4AAC, 2, 48000, kAudioChannelLayoutTagStereo, 0, 128000});
        writer->addInput(picture);
        writer->addInput(sound);
        ASSERT_TRUE(writer->startWriting());
        writer->startSession(sessionStart);
        auto block = std::make_shared<AudioBlock>(AudioBlock{48000, 2, std::vector<float>(960)});
        for (int i = 0; i < 400; ++i) {
            while (!sound->isReadyForMoreMediaData()) {
                std::this_thread::yield();
            }
            const MediaTime pts = sessionStart + MediaTime::make(i * 480, 48000);
            ASSERT_TRUE(sound->appendSample(std::make_shared<LinuxSample>(
                nullptr, block, SampleTiming{MediaTime::make(480, 48000), pts, pts})));
            if (i == 0) {
                ASSERT_TRUE(picture->appendSample(frame(0)));
            }
        }
        while (!picture->isReadyForMoreMediaData()) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(picture->appendSample(frame(39)));  // the hold frame
        writer->endSession(MediaTime::make(4, 1));
        picture->markAsFinished();
        sound->markAsFinished();
        finish(*writer);
        ASSERT_EQ(writer->status(), WriterStatus::Completed);
        EXPECT_EQ(firstVideoTime(file), 0.0);
    }
}

TEST_F(WriterTest, FailsToStartWhereTheFileCannotBeCreated) {
    auto writer = MakeFFmpegWriter(path, completions).writer;
    auto input = writer->makeVideoInput(video(64, 48));
    writer->addInput(input);
    std::filesystem::remove_all(directory);  // gone between the writer's creation and its start
    EXPECT_FALSE(writer->startWriting());
    EXPECT_EQ(writer->status(), WriterStatus::Failed);
    ASSERT_TRUE(writer->error());
    EXPECT_EQ(writer->error()->code, ENOENT);
}

}  // namespace
}  // namespace filmstrip

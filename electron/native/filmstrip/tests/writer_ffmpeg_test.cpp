// The Linux MP4 writer on its own: refusals, readiness and a small finished file.
#include <gtest/gtest.h>

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

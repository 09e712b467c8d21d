// A scriptable in-memory media layer: content, display modes, streams and writers whose
// answers a test sets, a host clock the test moves, files as a set of paths, the log as a
// list of lines. Platform completions go to `completions`, an executor the test chooses
// (a ManualExecutor it drains, or a thread). Safe to use from several threads.
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "media.h"

namespace filmstrip::fake {

// Runs queued tasks only when the test says so.
class ManualExecutor final : public Executor {
  public:
    void async(std::function<void()> task) override;
    // Runs tasks, including those queued while running, until none is left; returns how many.
    size_t drain();
    size_t pending() const;

  private:
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> tasks_;
};

class FakeSample final : public Sample {
  public:
    FakeSample(bool hasImage, std::vector<SampleTiming> timing, int frameNumber)
        : hasImage_(hasImage), timing_(std::move(timing)), frameNumber_(frameNumber) {}
    static std::shared_ptr<FakeSample> video(MediaTime pts, MediaTime duration, int frame = 0,
                                             bool hasImage = true);
    static std::shared_ptr<FakeSample> audio(MediaTime pts, MediaTime duration);

    bool hasImageBuffer() const override { return hasImage_; }
    MediaTime presentationTimeStamp() const override;
    MediaTime duration() const override;
    std::optional<std::vector<SampleTiming>> timingInfo() const override;
    std::shared_ptr<Sample> copyWithNewTiming(
        const std::vector<SampleTiming>& timing) const override;

    int frameNumber() const { return frameNumber_; }
    bool failCopies = false;

  private:
    bool hasImage_;
    std::vector<SampleTiming> timing_;
    int frameNumber_;
};

struct Appended {
    std::shared_ptr<Sample> sample;
    MediaTime pts;
    MediaTime duration;
};

class FakeMedia;

class FakeInput final : public WriterInput {
  public:
    FakeInput(FakeMedia& media, bool isVideo) : media_(media), isVideo_(isVideo) {}
    void setExpectsMediaDataInRealTime(bool realTime) override;
    bool isReadyForMoreMediaData() const override;
    bool appendSample(const std::shared_ptr<Sample>& sample) override;
    void markAsFinished() override;

    bool isVideo() const { return isVideo_; }
    VideoSettings videoSettings;
    AudioSettings audioSettings;

  private:
    FakeMedia& media_;
    bool isVideo_;
};

class FakeWriter final : public AssetWriter {
  public:
    FakeWriter(FakeMedia& media, std::string path) : media_(media), path_(std::move(path)) {}
    void setShouldOptimizeForNetworkUse(bool optimize) override;
    void setMovieFragmentInterval(MediaTime interval) override;
    std::shared_ptr<WriterInput> makeVideoInput(const VideoSettings& settings) override;
    std::shared_ptr<WriterInput> makeAudioInput(const AudioSettings& settings) override;
    bool canAddInput(const std::shared_ptr<WriterInput>& input) override;
    void addInput(const std::shared_ptr<WriterInput>& input) override;
    bool startWriting() override;
    WriterStatus status() const override;
    MaybeError error() const override;
    void startSession(MediaTime sourceTime) override;
    void endSession(MediaTime sourceTime) override;
    void finishWriting(std::function<void()> completion) override;
    void cancelWriting() override;

  private:
    FakeMedia& media_;
    std::string path_;
};

class FakeStream final : public CaptureStream {
  public:
    FakeStream(FakeMedia& media, std::weak_ptr<StreamListener> listener)
        : media_(media), listener_(std::move(listener)) {}
    MaybeError addStreamOutput(OutputType type) override;
    void removeStreamOutput(OutputType type) override;
    void startCapture(std::function<void(MaybeError)> completion) override;
    void stopCapture(std::function<void(MaybeError)> completion) override;

    std::weak_ptr<StreamListener> listener() const { return listener_; }

  private:
    FakeMedia& media_;
    std::weak_ptr<StreamListener> listener_;
};

class FakeMedia final : public Media {
  public:
    explicit FakeMedia(Executor& completionQueue) : completions(completionQueue) {}

    // ---- Media
    void getShareableContent(
        std::function<void(std::optional<ShareableContent>, MaybeError)> completion) override;
    std::string hostApplicationIdentifier() override;
    std::optional<DisplayMode> displayMode(uint32_t displayID) override;
    std::optional<std::vector<uint32_t>> displaysWithPoint(double x, double y,
                                                           uint32_t maxDisplays) override;
    uint32_t mainDisplayID() override;
    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamListener> listener) override;
    WriterResult makeMP4Writer(const std::string& path) override;
    MediaTime hostTime() override;
    bool fileExists(const std::string& path) override;
    MaybeError removeFile(const std::string& path) override;
    void log(const std::string& line) override;

    // ---- Test controls and observations (lock `mutex` when other threads run)
    void setHostSeconds(double seconds);
    // Delivers a sample to the current stream's listener, as the platform's sample queue.
    void deliver(const std::shared_ptr<Sample>& sample, OutputType type);
    // Ends the current stream as the platform would, with or without an error.
    void killStream(MaybeError error);
    std::vector<std::string> logLines() const;
    bool hasLogLine(const std::string& line) const;

    Executor& completions;
    mutable std::recursive_mutex mutex;

    ShareableContent content;
    MaybeError contentError;
    std::string hostIdentifier = "com.example.host";
    std::map<uint32_t, DisplayMode> modes;
    std::optional<std::vector<uint32_t>> displaysAtPoint;
    uint32_t mainDisplay = 1;
    MediaTime now = MediaTime::make(0, 1000);
    std::set<std::string> files;
    std::set<std::string> unremovableFiles;
    std::vector<std::string> log_;

    // Streams
    std::shared_ptr<FakeStream> stream;
    ContentFilter lastFilter;
    StreamConfiguration lastConfiguration;
    std::map<OutputType, MaybeError> addOutputErrors;
    std::set<OutputType> outputs;
    MaybeError startCaptureError;
    int stopCaptureCalls = 0;

    // Writers
    std::shared_ptr<FakeWriter> writer;
    MaybeError writerCreationError;
    bool optimizeForNetworkUse = false;
    MediaTime fragmentInterval;
    bool refuseVideoInput = false;
    bool refuseAudioInput = false;
    bool refuseStartWriting = false;
    WriterStatus writerStatus = WriterStatus::Unknown;
    MaybeError writerError;
    bool failFinish = false;  // the writer fails while finishing
    std::vector<std::shared_ptr<FakeInput>> inputs;
    std::optional<MediaTime> sessionStart;
    std::optional<MediaTime> sessionEnd;
    std::vector<Appended> appendedVideo;
    std::vector<Appended> appendedAudio;
    bool videoReady = true;
    bool audioReady = true;
    bool failAppends = false;
    int finishCalls = 0;
    int cancelCalls = 0;
    int markedFinished = 0;
};

}  // namespace filmstrip::fake

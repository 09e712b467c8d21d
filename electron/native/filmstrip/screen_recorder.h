// ScreenRecorder: records one display, a rectangle of it or one window into an MP4 file,
// with pause and resume cut out of the file, a hold frame that carries the video to the
// stop time, and clean-up of failed starts. It runs on the media layer of media.h.
//
// Threads: start, stop, pause and resume are called on the main queue; platform completions
// arrive on the platform's queues; samples on a concurrent queue. One recursive monitor lock
// serialises state changes, sample intake, pause and resume and the stream-stopped callback.
// Every asynchronous step holds a strong reference to the recorder until it has run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "media.h"

namespace filmstrip {

struct CaptureOptions {
    bool lowMemoryEncoder = false;
    bool hevcEncoder = false;
    bool systemAudio = false;
    int framerate = 0;  // frames per second, greater than 0
};

inline constexpr const char* kRecorderErrorDomain = "ScreenRecorder";

// Whether an H.264 frame of this many pixels fits the codec's largest level.
bool h264CanEncode(int64_t width, int64_t height);

class ScreenRecorder final : public StreamListener,
                             public std::enable_shared_from_this<ScreenRecorder> {
  public:
    using StartCompletion = std::function<void(MaybeError)>;
    // (path, error): the path of the finished file, or an error, or neither.
    using StopCompletion = std::function<void(std::optional<std::string>, MaybeError)>;
    using StoppedCallback = std::function<void(const std::string& message, bool wroteVideo)>;

    static std::shared_ptr<ScreenRecorder> create(std::shared_ptr<Media> media);

    void startRecordingDisplay(uint32_t displayID, const std::string& outputPath, Rect sourceRect,
                               CaptureOptions options, StartCompletion completion);
    void startRecordingWindow(uint32_t windowID, const std::string& outputPath,
                              CaptureOptions options, StartCompletion completion);
    void stopRecording(StopCompletion completion);
    void pauseRecording();
    void resumeRecording();

    // The file's timeline position of a host-clock time: the host time minus every pause,
    // the one in progress counted up to `hostTime`. The caller holds the monitor lock.
    MediaTime sourceTimeForHostTime(MediaTime hostTime) const;

    // The stream-stopped notification; an empty function means none. Called only while the
    // monitor lock is held, so setting it under the same lock detaches it safely.
    void setOnStoppedUnexpectedly(StoppedCallback callback);
    std::string outputPath() const;
    std::recursive_mutex& monitor() const { return monitor_; }

    void streamDidOutputSample(const std::shared_ptr<Sample>& sample, OutputType type) override;
    void streamDidStopWithError(const MaybeError& error) override;

  private:
    explicit ScreenRecorder(std::shared_ptr<Media> media) : media_(std::move(media)) {}

    using ContentStep = std::function<void(const ShareableContent&, StartCompletion)>;

    MaybeError prepareForStart(const std::string& outputPath, Rect sourceRect);
    // Looks up the shareable content and continues with `step`; a failed lookup undoes the
    // start.
    void withShareableContent(StartCompletion completion, ContentStep step);
    void startDisplayWithContent(uint32_t displayID, const ShareableContent& content,
                                 CaptureOptions options, StartCompletion completion);
    void startWindowWithContent(uint32_t windowID, const ShareableContent& content,
                                CaptureOptions options, StartCompletion completion);
    void beginCapture(const ContentFilter& filter, double pointWidth, double pointHeight,
                      double backingScale, CaptureOptions options, StartCompletion completion);
    // Everything of beginCapture up to a started writer and a stream with its outputs;
    // returns the error to report, after cleaning up.
    MaybeError configureCapture(const ContentFilter& filter, const StreamConfiguration& config,
                                CaptureOptions options);
    // Stops the stream, takes its outputs away, then runs `next` (on the platform's queue).
    void stopStreamThen(const std::shared_ptr<CaptureStream>& stream, std::function<void()> next);
    // The writer failed mid-take: the take ends as if the stream had stopped, with the
    // writer's error as the message. Called under the lock.
    void endAfterWriterFailure();
    void cleanupFailedRecording();
    void clearLastVideoSample();
    void finishWritingAtSourceTime(MediaTime endTime, std::function<void(MaybeError)> completion);
    void finishRequestedStop(const MaybeError& holdError, const StopCompletion& completion);
    void finishUnexpectedStop(std::string message, const MaybeError& holdError);

    const std::shared_ptr<Media> media_;
    mutable std::recursive_mutex monitor_;

    std::shared_ptr<CaptureStream> stream_;
    std::shared_ptr<AssetWriter> assetWriter_;
    std::shared_ptr<WriterInput> videoInput_;
    std::shared_ptr<WriterInput> audioInput_;
    std::string outputPath_;
    // Whether this start created the file at outputPath_; a file that was there before the
    // attempt is never removed by a failed start.
    bool ownsOutputFile_ = false;
    bool isRecording_ = false;
    bool isStarting_ = false;
    bool isStopping_ = false;
    bool hasStartedSession_ = false;
    MediaTime latestWrittenEndTime_;
    MediaTime latestVideoWrittenEndTime_;
    MediaTime nominalVideoFrameDuration_;
    std::shared_ptr<Sample> lastVideoSample_;
    Rect sourceRect_;
    bool isPaused_ = false;
    MediaTime pauseStartTime_;
    MediaTime totalPausedDuration_;
    MediaTime latestResumeTime_;
    StoppedCallback onStoppedUnexpectedly_;

    // What became of the take's samples.
    struct TakeCounts {
        int64_t writtenVideo = 0;
        int64_t droppedVideo = 0;  // the video input was not ready
        int64_t droppedAudio = 0;
    };
    void logTakeCounts(const TakeCounts& counts);
    TakeCounts counts_;
};

}  // namespace filmstrip

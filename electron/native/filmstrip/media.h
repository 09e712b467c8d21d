// The media layer the recorder runs on: shareable content, display modes, the capture
// stream, the MP4 asset writer and its inputs, samples and their timing, the host clock,
// files, the log and the queues. Implemented by media_macos.mm (ScreenCaptureKit and
// AVFoundation), media_linux.cpp (FFmpeg writer; capture backends) and tests/media_fake.cpp.
// Everything here speaks in the recorder's own types; no platform type crosses it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media_time.h"

namespace filmstrip {

// A failure as the platform or the recorder reports it: a domain, a small integer code and
// the localized description shown to the user.
struct Error {
    std::string domain;
    int64_t code = 0;
    std::string description;
};
using MaybeError = std::optional<Error>;

// A rectangle in points. The null rectangle (no rectangle at all) means "the whole display".
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool null = false;

    static Rect nullRect() { return {0, 0, 0, 0, true}; }
    bool isNull() const { return null; }
    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
};

// Runs tasks in order on one queue (the main queue, a completion queue). A task may be run
// on another thread; it is run exactly once unless the queue is destroyed first.
class Executor {
  public:
    virtual ~Executor() = default;
    virtual void async(std::function<void()> task) = 0;
};

// ---- Shareable content -------------------------------------------------------------------

struct ContentApplication {
    std::string bundleIdentifier;
};

struct ContentDisplay {
    uint32_t displayID = 0;
    int64_t width = 0;  // points
    int64_t height = 0;
};

struct ContentWindow {
    uint32_t windowID = 0;
    Rect frame;  // global display coordinates, points
    std::string title;
    std::optional<ContentApplication> owningApplication;
};

struct ShareableContent {
    std::vector<ContentDisplay> displays;
    std::vector<ContentApplication> applications;
    std::vector<ContentWindow> windows;
    // On a Wayland desktop seen through XWayland: `windows` holds its X11 clients only.
    bool xwaylandWindowsOnly = false;
};

// What a stream captures: a display without some applications (except some windows), a
// display without some windows, or one window on its own.
struct ContentFilter {
    enum class Kind { DisplayExcludingApplications, DisplayExcludingWindows, Window };
    Kind kind = Kind::DisplayExcludingWindows;
    ContentDisplay display;
    std::vector<ContentApplication> excludedApplications;
    std::vector<ContentWindow> exceptingWindows;
    std::vector<ContentWindow> excludedWindows;
    ContentWindow window;
};

struct DisplayMode {
    uint64_t width = 0;  // points
    uint64_t height = 0;
    uint64_t pixelWidth = 0;
};

// ---- Samples -----------------------------------------------------------------------------

struct SampleTiming {
    MediaTime duration;
    MediaTime presentationTimeStamp;
    MediaTime decodeTimeStamp;
};

// One delivered media buffer: a video frame (or a status-only screen sample without an
// image) or a block of audio. Copies with new timing share the media data.
class Sample {
  public:
    virtual ~Sample() = default;
    virtual bool hasImageBuffer() const = 0;
    virtual MediaTime presentationTimeStamp() const = 0;
    virtual MediaTime duration() const = 0;
    // Every timing entry, or nothing when the sample cannot report them.
    virtual std::optional<std::vector<SampleTiming>> timingInfo() const = 0;
    // A copy carrying `timing`; null when the copy cannot be made.
    virtual std::shared_ptr<Sample> copyWithNewTiming(
        const std::vector<SampleTiming>& timing) const = 0;
};

// ---- Capture stream ----------------------------------------------------------------------

enum class OutputType : int { Screen = 0, Audio = 1 };

// Four-character pixel formats of the capture stream.
constexpr uint32_t kPixelFormat420f = 875704422;   // '420f' 4:2:0 bi-planar, full range
constexpr uint32_t kPixelFormat420v = 875704438;   // '420v' 4:2:0 bi-planar, video range
constexpr uint32_t kPixelFormatBGRA = 1111970369;  // 'BGRA' 32-bit

struct StreamConfiguration {
    std::optional<Rect> sourceRect;
    int64_t width = 0;
    int64_t height = 0;
    MediaTime minimumFrameInterval;
    uint32_t pixelFormat = 0;
    bool showsCursor = true;
    bool neverShowPresenterOverlayAlert = false;
    bool clearBackground = false;
    bool scalesToFit = true;
    std::string colorSpaceName;
    int queueDepth = 0;
    bool capturesAudio = false;
    int sampleRate = 0;
    int channelCount = 0;
};
inline constexpr const char* kColorSpaceSRGB = "kCGColorSpaceSRGB";

// The object a stream reports to: samples of the added outputs and the stream's own end.
// Samples arrive on a high-priority concurrent queue, possibly on several threads at once.
class StreamListener {
  public:
    virtual ~StreamListener() = default;
    virtual void streamDidOutputSample(const std::shared_ptr<Sample>& sample, OutputType type) = 0;
    virtual void streamDidStopWithError(const MaybeError& error) = 0;
};

// A capture stream. It keeps its listener alive while capture runs (from a successful start
// until the capture has stopped or died), and only weakly otherwise.
class CaptureStream {
  public:
    virtual ~CaptureStream() = default;
    virtual MaybeError addStreamOutput(OutputType type) = 0;
    virtual void removeStreamOutput(OutputType type) = 0;
    // Each completion is called exactly once, on a queue of the platform's choosing.
    virtual void startCapture(std::function<void(MaybeError)> completion) = 0;
    virtual void stopCapture(std::function<void(MaybeError)> completion) = 0;
};

// ---- Asset writer ------------------------------------------------------------------------

enum class WriterStatus : int {
    Unknown = 0,
    Writing = 1,
    Completed = 2,
    Failed = 3,
    Cancelled = 4
};

enum class VideoCodec { H264, HEVC };

inline constexpr const char* kProfileLevelH264HighAuto = "H264_High_AutoLevel";
inline constexpr const char* kProfileLevelHEVCMainAuto = "HEVC_Main_AutoLevel";

// Video output settings: the codec, the size and the compression properties that are set
// (an empty optional is a key that is not set).
struct VideoSettings {
    VideoCodec codec = VideoCodec::H264;
    int64_t width = 0;
    int64_t height = 0;
    // The capture's frame rate, for encoders that must know the rate up front to meet a bit
    // rate (AVFoundation works it out from the time stamps and ignores this).
    int captureFrameRate = 0;
    std::optional<bool> realTime;
    std::optional<int> expectedSourceFrameRate;
    std::optional<int> maxKeyFrameInterval;
    std::optional<std::string> profileLevel;
    std::optional<int64_t> averageBitRate;
    std::optional<bool> allowFrameReordering;
};

constexpr uint32_t kAudioFormatMPEG4AAC = 1633772320;       // 'aac '
constexpr uint32_t kAudioChannelLayoutTagStereo = 6619138;  // (101 << 16) | 2

struct AudioSettings {
    uint32_t formatID = 0;
    int channels = 0;
    double sampleRate = 0;
    uint32_t channelLayoutTag = 0;
    uint32_t channelBitmap = 0;
    int64_t bitRate = 0;
};

class WriterInput {
  public:
    virtual ~WriterInput() = default;
    virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
    virtual bool isReadyForMoreMediaData() const = 0;
    virtual bool appendSample(const std::shared_ptr<Sample>& sample) = 0;
    virtual void markAsFinished() = 0;
};

class AssetWriter {
  public:
    virtual ~AssetWriter() = default;
    virtual void setShouldOptimizeForNetworkUse(bool optimize) = 0;
    virtual void setMovieFragmentInterval(MediaTime interval) = 0;
    // Inputs are made by the writer they will be added to.
    virtual std::shared_ptr<WriterInput> makeVideoInput(const VideoSettings& settings) = 0;
    virtual std::shared_ptr<WriterInput> makeAudioInput(const AudioSettings& settings) = 0;
    virtual bool canAddInput(const std::shared_ptr<WriterInput>& input) = 0;
    virtual void addInput(const std::shared_ptr<WriterInput>& input) = 0;
    virtual bool startWriting() = 0;
    virtual WriterStatus status() const = 0;
    virtual MaybeError error() const = 0;
    virtual void startSession(MediaTime sourceTime) = 0;
    virtual void endSession(MediaTime sourceTime) = 0;
    // Closes the file; the completion is called exactly once, on the writer's own queue.
    virtual void finishWriting(std::function<void()> completion) = 0;
    virtual void cancelWriting() = 0;
};

struct WriterResult {
    std::shared_ptr<AssetWriter> writer;  // may be set even when `error` is
    MaybeError error;
};

// ---- The whole layer ---------------------------------------------------------------------

class Media {
  public:
    virtual ~Media() = default;

    // The displays, applications and windows that can be captured. The completion is
    // called exactly once, on a queue of the platform's choosing, with content or an error.
    virtual void getShareableContent(
        std::function<void(std::optional<ShareableContent>, MaybeError)> completion) = 0;
    // The identifier of the application this code runs in (empty when it has none).
    virtual std::string hostApplicationIdentifier() = 0;

    virtual std::optional<DisplayMode> displayMode(uint32_t displayID) = 0;
    // Up to `maxDisplays` displays containing the point; nothing when the query fails.
    virtual std::optional<std::vector<uint32_t>> displaysWithPoint(double x, double y,
                                                                   uint32_t maxDisplays) = 0;
    virtual uint32_t mainDisplayID() = 0;

    virtual std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                                      const StreamConfiguration& configuration,
                                                      std::weak_ptr<StreamListener> listener) = 0;
    virtual WriterResult makeMP4Writer(const std::string& path) = 0;

    // The host clock every capture time stamp is taken on.
    virtual MediaTime hostTime() = 0;

    virtual bool fileExists(const std::string& path) = 0;
    virtual MaybeError removeFile(const std::string& path) = 0;
    virtual void log(const std::string& line) = 0;
};

// The process's platform layer and the queue every recorder operation starts on.
std::shared_ptr<Media> PlatformMedia();
Executor& MainQueue();

}  // namespace filmstrip

#include "screen_recorder.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace filmstrip {
namespace {

using Lock = std::lock_guard<std::recursive_mutex>;

constexpr int kCodeNotAvailable = 1;
constexpr int kCodeSetupRefused = 2;
constexpr int kCodeNotRecording = 4;
constexpr int kCodeBusy = 5;
constexpr int kCodeFinishFailed = 6;
constexpr int kCodeNoVideo = 7;

constexpr const char* kMessageBusy = "A recording is already in progress";
constexpr const char* kMessageDisplayNotFound = "Display %u not found (disconnected?)";
constexpr const char* kMessageWindowNotFound = "Window not found";
constexpr const char* kMessageNotXWaylandWindow =
    "Window not found among the XWayland windows: on Wayland only X11 (XWayland) windows can be "
    "recorded; run the app with GDK_BACKEND=x11, QT_QPA_PLATFORM=xcb or --ozone-platform=x11, "
    "or record its display";
constexpr const char* kMessageEncoderRefused = "The video encoder refused this capture's settings";
constexpr const char* kMessageStartWritingFailed = "Failed to start writing";
constexpr const char* kMessageH264TooLarge =
    "H.264 cannot encode %lldx%lld pixels (its frames hold at most 4096x2304); record with the "
    "HEVC encoder, or with the low-memory encoder at point size";
constexpr const char* kMessageSystemAudio =
    "This Mac would not record system audio. Choose Mute System Audio in the dock to record "
    "without it.";
constexpr const char* kMessageNotRecording = "Not recording";
constexpr const char* kMessageHoldCreate = "Could not create final video hold frame";
constexpr const char* kMessageHoldAppend = "Could not append final video hold frame";
constexpr const char* kMessageRemoveFailed = "%s; failed to remove %s: %s";
constexpr const char* kMessageNoVideo = "ScreenCaptureKit produced zero video samples";
constexpr const char* kMessageStoppedUnexpectedly = "Screen capture stopped unexpectedly";
constexpr const char* kMessageWritingFailed = "The recording could not be written";
constexpr const char* kMessageFramesDropped = "; %lld video frames dropped";
constexpr const char* kLogTakeEnded =
    "Recording ended: %lld video frames written, %lld video frames and %lld audio buffers "
    "dropped because the writer was not ready";

constexpr int kAudioSampleRate = 48000;
constexpr int kAudioChannels = 2;
constexpr int64_t kAudioBitRate = 128000;
constexpr uint32_t kStereoChannelBitmap = 3;
constexpr int64_t kH264AverageBitRate = 5000000;
// The largest H.264 level (6.2) holds 36,864 macroblocks of 16x16 a frame, no side over 4096.
constexpr int64_t kH264MaxSide = 4096;
constexpr int64_t kH264MaxMacroblocks = 36864;
constexpr int64_t kMacroblockSide = 16;
// ScreenCaptureKit accepts a queue depth of 3 at least; one of them is the frame held for the
// hold frame, so low memory asks for the least it may.
constexpr int kLowMemoryQueueDepth = 3;
constexpr int64_t kMovieFragmentSeconds = 5;
constexpr uint32_t kMaxDisplaysAtPoint = 8;
constexpr double kMinimumWindowPoints = 100;

// printf-style formatting of the fixed message and log formats.
[[gnu::format(printf, 1, 2)]] std::string format(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, pattern, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, pattern, args);
    va_end(args);
    return text;
}

Error RecorderError(int code, std::string message) {
    return Error{kRecorderErrorDomain, code, std::move(message)};
}

const char* yesNo(bool value) {
    return value ? "YES" : "NO";
}

// The display's backing scale (pixels per point) and, through the pointers that are not
// null, its size in points; 1.0 and untouched sizes when the display has no current mode.
double BackingScaleForDisplay(Media& media, uint32_t displayID, uint64_t* outPointWidth,
                              uint64_t* outPointHeight) {
    const std::optional<DisplayMode> mode = media.displayMode(displayID);
    if (!mode) {
        return 1.0;
    }
    double scale = 1.0;
    if (mode->width != 0 && mode->pixelWidth != 0) {
        scale = static_cast<double>(mode->pixelWidth) / static_cast<double>(mode->width);
    }
    if (outPointWidth != nullptr) {
        *outPointWidth = mode->width;
    }
    if (outPointHeight != nullptr) {
        *outPointHeight = mode->height;
    }
    return scale;
}

// Rounded half away from zero, then lowered to an even number.
int64_t evenPixels(double scale, double points) {
    return std::llround(scale * points) & ~int64_t{1};
}

uint32_t pixelFormatFor(const CaptureOptions& options) {
    if (options.hevcEncoder) {
        return kPixelFormat420f;
    }
    return options.lowMemoryEncoder ? kPixelFormat420v : kPixelFormatBGRA;
}

int queueDepthFor(const CaptureOptions& options) {
    if (options.lowMemoryEncoder) {
        return kLowMemoryQueueDepth;
    }
    const double depth = std::ceil(options.framerate / 30.0 * 5);
    return static_cast<int>(std::min(std::max(depth, 3.0), 8.0));
}

int64_t macroblocksAlong(int64_t pixels) {
    return (pixels + kMacroblockSide - 1) / kMacroblockSide;
}

}  // namespace

bool h264CanEncode(int64_t width, int64_t height) {
    return width <= kH264MaxSide && height <= kH264MaxSide &&
           macroblocksAlong(width) * macroblocksAlong(height) <= kH264MaxMacroblocks;
}

namespace {

VideoSettings videoSettingsFor(const CaptureOptions& options, const StreamConfiguration& config) {
    VideoSettings settings;
    settings.width = config.width;
    settings.height = config.height;
    settings.captureFrameRate = options.framerate;
    if (options.hevcEncoder) {
        settings.codec = VideoCodec::HEVC;
        settings.realTime = true;
        settings.expectedSourceFrameRate = options.framerate;
        settings.maxKeyFrameInterval = options.framerate;
        settings.profileLevel = kProfileLevelHEVCMainAuto;
    } else {
        settings.codec = VideoCodec::H264;
        settings.averageBitRate = kH264AverageBitRate;
        settings.profileLevel = kProfileLevelH264HighAuto;
    }
    if (options.lowMemoryEncoder) {
        settings.allowFrameReordering = false;
        settings.expectedSourceFrameRate = options.framerate;
        settings.maxKeyFrameInterval = options.framerate;
    }
    return settings;
}

AudioSettings audioSettings() {
    return AudioSettings{kAudioFormatMPEG4AAC,         kAudioChannels,       kAudioSampleRate,
                         kAudioChannelLayoutTagStereo, kStereoChannelBitmap, kAudioBitRate};
}

// A copy of the sample with every time stamp moved back by `offset`; the decode stamp only
// when it is valid. Null when the timing cannot be read or the copy fails.
std::shared_ptr<Sample> CreateRetimedSample(const Sample& sample, MediaTime offset) {
    std::optional<std::vector<SampleTiming>> timing = sample.timingInfo();
    if (!timing || timing->empty()) {
        return nullptr;
    }
    for (SampleTiming& entry : *timing) {
        entry.presentationTimeStamp = entry.presentationTimeStamp - offset;
        if (entry.decodeTimeStamp.isValid()) {
            entry.decodeTimeStamp = entry.decodeTimeStamp - offset;
        }
    }
    return sample.copyWithNewTiming(*timing);
}

// The last frame again, covering [startTime, endTime); the image data is shared.
std::shared_ptr<Sample> CreateVideoHoldSample(const std::shared_ptr<Sample>& sample,
                                              MediaTime startTime, MediaTime endTime) {
    if (!sample) {
        return nullptr;
    }
    return sample->copyWithNewTiming(
        {SampleTiming{endTime - startTime, startTime, MediaTime::invalid()}});
}

}  // namespace

std::shared_ptr<ScreenRecorder> ScreenRecorder::create(std::shared_ptr<Media> media) {
    return std::shared_ptr<ScreenRecorder>(new ScreenRecorder(std::move(media)));
}

std::string ScreenRecorder::outputPath() const {
    Lock lock(monitor_);
    return outputPath_;
}

void ScreenRecorder::setOnStoppedUnexpectedly(StoppedCallback callback) {
    Lock lock(monitor_);
    onStoppedUnexpectedly_ = std::move(callback);
}

// ---- Start -------------------------------------------------------------------------------

MaybeError ScreenRecorder::prepareForStart(const std::string& outputPath, Rect sourceRect) {
    Lock lock(monitor_);
    if (isRecording_ || isStarting_ || isStopping_) {
        return RecorderError(kCodeBusy, kMessageBusy);
    }
    isStarting_ = true;
    outputPath_ = outputPath;
    ownsOutputFile_ = false;
    hasStartedSession_ = false;
    latestWrittenEndTime_ = MediaTime::invalid();
    latestVideoWrittenEndTime_ = MediaTime::invalid();
    clearLastVideoSample();
    audioInput_.reset();
    sourceRect_ = sourceRect;
    isPaused_ = false;
    pauseStartTime_ = MediaTime::invalid();
    latestResumeTime_ = MediaTime::invalid();
    totalPausedDuration_ = MediaTime::zero();
    counts_ = TakeCounts{};
    return std::nullopt;
}

void ScreenRecorder::startRecordingDisplay(uint32_t displayID, const std::string& outputPath,
                                           Rect sourceRect, CaptureOptions options,
                                           StartCompletion completion) {
    if (MaybeError error = prepareForStart(outputPath, sourceRect)) {
        completion(error);
        return;
    }
    withShareableContent(
        std::move(completion),
        [this, displayID, options](const ShareableContent& content, StartCompletion next) {
            startDisplayWithContent(displayID, content, options, std::move(next));
        });
}

void ScreenRecorder::startDisplayWithContent(uint32_t displayID, const ShareableContent& content,
                                             CaptureOptions options, StartCompletion completion) {
    const auto display =
        std::find_if(content.displays.begin(), content.displays.end(),
                     [&](const ContentDisplay& d) { return d.displayID == displayID; });
    if (display == content.displays.end()) {
        cleanupFailedRecording();
        completion(RecorderError(kCodeNotAvailable, format(kMessageDisplayNotFound, displayID)));
        return;
    }
    // The host application's own windows never appear in the recording.
    const std::string host = media_->hostApplicationIdentifier();
    ContentFilter filter;
    filter.display = *display;
    const auto application =
        std::find_if(content.applications.begin(), content.applications.end(),
                     [&](const ContentApplication& a) { return a.bundleIdentifier == host; });
    if (application != content.applications.end()) {
        filter.kind = ContentFilter::Kind::DisplayExcludingApplications;
        filter.excludedApplications = {*application};
    } else {
        filter.kind = ContentFilter::Kind::DisplayExcludingWindows;
        for (const ContentWindow& window : content.windows) {
            if (window.owningApplication && window.owningApplication->bundleIdentifier == host) {
                filter.excludedWindows.push_back(window);
            }
        }
    }
    uint64_t pointWidth = 0;
    uint64_t pointHeight = 0;
    const double backingScale =
        BackingScaleForDisplay(*media_, displayID, &pointWidth, &pointHeight);
    beginCapture(
        filter,
        static_cast<double>(pointWidth != 0 ? pointWidth : static_cast<uint64_t>(display->width)),
        static_cast<double>(pointHeight != 0 ? pointHeight
                                             : static_cast<uint64_t>(display->height)),
        backingScale, options, std::move(completion));
}

void ScreenRecorder::startRecordingWindow(uint32_t windowID, const std::string& outputPath,
                                          CaptureOptions options, StartCompletion completion) {
    if (MaybeError error = prepareForStart(outputPath, Rect::nullRect())) {
        completion(error);
        return;
    }
    withShareableContent(
        std::move(completion),
        [this, windowID, options](const ShareableContent& content, StartCompletion next) {
            startWindowWithContent(windowID, content, options, std::move(next));
        });
}

void ScreenRecorder::withShareableContent(StartCompletion completion, ContentStep step) {
    // The step runs with the recorder kept alive by this lookup.
    media_->getShareableContent(
        [self = shared_from_this(), completion = std::move(completion), step = std::move(step)](
            std::optional<ShareableContent> content, MaybeError error) {
            if (error) {
                self->cleanupFailedRecording();
                completion(error);
                return;
            }
            step(content.value_or(ShareableContent{}), completion);
        });
}

void ScreenRecorder::startWindowWithContent(uint32_t windowID, const ShareableContent& content,
                                            CaptureOptions options, StartCompletion completion) {
    const auto window =
        std::find_if(content.windows.begin(), content.windows.end(),
                     [&](const ContentWindow& w) { return w.windowID == windowID; });
    if (window == content.windows.end()) {
        cleanupFailedRecording();
        completion(RecorderError(kCodeNotAvailable, content.xwaylandWindowsOnly
                                                        ? kMessageNotXWaylandWindow
                                                        : kMessageWindowNotFound));
        return;
    }
    media_->log(format("Recording window: %s (ID: %u, size: %.0fx%.0f)", window->title.c_str(),
                       windowID, window->frame.width, window->frame.height));
    ContentFilter filter;
    filter.kind = ContentFilter::Kind::Window;
    filter.window = *window;
    const double pointWidth = std::max(window->frame.width, kMinimumWindowPoints);
    const double pointHeight = std::max(window->frame.height, kMinimumWindowPoints);
    const std::optional<std::vector<uint32_t>> displays =
        media_->displaysWithPoint(window->frame.midX(), window->frame.midY(), kMaxDisplaysAtPoint);
    const uint32_t displayID =
        displays && !displays->empty() ? displays->front() : media_->mainDisplayID();
    const double backingScale = BackingScaleForDisplay(*media_, displayID, nullptr, nullptr);
    beginCapture(filter, pointWidth, pointHeight, backingScale, options, std::move(completion));
}

void ScreenRecorder::beginCapture(const ContentFilter& filter, double pointWidth,
                                  double pointHeight, double backingScale, CaptureOptions options,
                                  StartCompletion completion) {
    StreamConfiguration config;
    double srcWidth = pointWidth;
    double srcHeight = pointHeight;
    {
        Lock lock(monitor_);
        nominalVideoFrameDuration_ = MediaTime::make(1, options.framerate);
        if (!sourceRect_.isNull()) {
            config.sourceRect = sourceRect_;
            srcWidth = sourceRect_.width;
            srcHeight = sourceRect_.height;
        }
    }
    const double captureScale = options.lowMemoryEncoder && backingScale > 1 ? 1.0 : backingScale;
    config.width = evenPixels(captureScale, srcWidth);
    config.height = evenPixels(captureScale, srcHeight);
    config.minimumFrameInterval = MediaTime::make(1, options.framerate);
    config.pixelFormat = pixelFormatFor(options);
    config.showsCursor = false;
    config.neverShowPresenterOverlayAlert = true;
    config.clearBackground = true;
    config.scalesToFit = false;
    config.colorSpaceName = kColorSpaceSRGB;
    config.queueDepth = queueDepthFor(options);
    config.capturesAudio = options.systemAudio;
    config.sampleRate = kAudioSampleRate;
    config.channelCount = kAudioChannels;
    media_->log(
        format("Capture configured: %lldx%lld (scale: %.2f, backing: %.2f) fps=%d, "
               "hevc=%s, lowMemory=%s",
               static_cast<long long>(config.width), static_cast<long long>(config.height),
               captureScale, backingScale, options.framerate, yesNo(options.hevcEncoder),
               yesNo(options.lowMemoryEncoder)));

    if (!options.hevcEncoder && !h264CanEncode(config.width, config.height)) {
        cleanupFailedRecording();
        completion(RecorderError(kCodeSetupRefused,
                                 format(kMessageH264TooLarge, static_cast<long long>(config.width),
                                        static_cast<long long>(config.height))));
        return;
    }
    if (MaybeError error = configureCapture(filter, config, options)) {
        completion(error);
        return;
    }
    std::shared_ptr<CaptureStream> stream;
    {
        Lock lock(monitor_);
        stream = stream_;
    }
    stream->startCapture(
        [self = shared_from_this(), completion = std::move(completion)](MaybeError error) {
            if (error) {
                self->cleanupFailedRecording();
                completion(error);
                return;
            }
            {
                Lock lock(self->monitor_);
                self->isStarting_ = false;
                self->isRecording_ = true;
            }
            completion(std::nullopt);
        });
}

MaybeError ScreenRecorder::configureCapture(const ContentFilter& filter,
                                            const StreamConfiguration& config,
                                            CaptureOptions options) {
    // Made without the lock (opening encoders takes a while, and the JavaScript thread takes
    // the lock too); each step publishes what it made, so the clean-up finds everything.
    const std::string path = outputPath();
    const bool fileExisted = media_->fileExists(path);
    WriterResult made = media_->makeMP4Writer(path);
    const std::shared_ptr<AssetWriter> writer = made.writer;
    {
        Lock lock(monitor_);
        assetWriter_ = writer;
        ownsOutputFile_ = writer && !made.error && !fileExisted;
    }
    const auto fail = [this](MaybeError error) {
        cleanupFailedRecording();
        return error;
    };
    if (made.error || !writer) {
        return fail(made.error);
    }
    writer->setShouldOptimizeForNetworkUse(true);
    writer->setMovieFragmentInterval(MediaTime::make(kMovieFragmentSeconds, 1));

    const std::shared_ptr<WriterInput> video =
        writer->makeVideoInput(videoSettingsFor(options, config));
    video->setExpectsMediaDataInRealTime(true);
    {
        Lock lock(monitor_);
        videoInput_ = video;
    }
    if (!writer->canAddInput(video)) {
        return fail(RecorderError(kCodeSetupRefused, kMessageEncoderRefused));
    }
    writer->addInput(video);
    std::shared_ptr<WriterInput> audio;
    if (options.systemAudio) {
        audio = writer->makeAudioInput(audioSettings());
        audio->setExpectsMediaDataInRealTime(true);
        if (!writer->canAddInput(audio)) {
            return fail(RecorderError(kCodeSetupRefused, kMessageSystemAudio));
        }
        writer->addInput(audio);
        Lock lock(monitor_);
        audioInput_ = audio;
    }
    if (!writer->startWriting()) {
        return fail(RecorderError(kCodeSetupRefused, kMessageStartWritingFailed));
    }
    const std::shared_ptr<CaptureStream> stream =
        media_->makeStream(filter, config, weak_from_this());
    {
        Lock lock(monitor_);
        stream_ = stream;
    }
    if (MaybeError error = stream->addStreamOutput(OutputType::Screen)) {
        return fail(error);
    }
    if (audio) {
        if (MaybeError error = stream->addStreamOutput(OutputType::Audio)) {
            media_->log(format("Failed to add audio output: %s", error->description.c_str()));
            return fail(RecorderError(kCodeSetupRefused, kMessageSystemAudio));
        }
    }
    return std::nullopt;
}

void ScreenRecorder::cleanupFailedRecording() {
    Lock lock(monitor_);
    if (assetWriter_) {
        if (assetWriter_->status() == WriterStatus::Writing) {
            assetWriter_->cancelWriting();
        }
        assetWriter_.reset();
    }
    videoInput_.reset();
    audioInput_.reset();
    stream_.reset();
    if (ownsOutputFile_ && !outputPath_.empty() && media_->fileExists(outputPath_)) {
        if (MaybeError error = media_->removeFile(outputPath_)) {
            media_->log(format("Warning: Could not remove orphaned recording file: %s",
                               error->description.c_str()));
        }
    }
    ownsOutputFile_ = false;
    isRecording_ = false;
    isStarting_ = false;
    hasStartedSession_ = false;
    latestWrittenEndTime_ = MediaTime::invalid();
    latestVideoWrittenEndTime_ = MediaTime::invalid();
    clearLastVideoSample();
}

// ---- Intake, pause and resume --------------------------------------------------------------

void ScreenRecorder::clearLastVideoSample() {
    Lock lock(monitor_);
    lastVideoSample_.reset();
}

void ScreenRecorder::streamDidOutputSample(const std::shared_ptr<Sample>& sample, OutputType type) {
    Lock lock(monitor_);
    if (isStopping_ || !sample) {
        return;
    }
    // The writer fails on its own (a full disk, a write error): the take ends now, not at
    // the next stop, so the host hears of it while it still thinks it is recording.
    if (isRecording_ && assetWriter_ && assetWriter_->status() == WriterStatus::Failed) {
        endAfterWriterFailure();
        return;
    }
    // A sample captured before the latest resume (delivered late) belongs to the pause; retimed,
    // it would land at or before the last frame written before the pause.
    if (isPaused_ ||
        (latestResumeTime_.isValid() && sample->presentationTimeStamp() < latestResumeTime_)) {
        return;
    }
    std::shared_ptr<WriterInput> input;
    if (type == OutputType::Screen) {
        if (!sample->hasImageBuffer()) {
            return;
        }
        input = videoInput_;
    } else if (type == OutputType::Audio) {
        input = audioInput_;
    }
    if (!input) {
        return;
    }
    if (!input->isReadyForMoreMediaData()) {
        ++(type == OutputType::Screen ? counts_.droppedVideo : counts_.droppedAudio);
        return;
    }
    const bool hasPauseOffset =
        totalPausedDuration_.isNumeric() && totalPausedDuration_ > MediaTime::zero();
    MediaTime presentationTime = sample->presentationTimeStamp();
    if (hasPauseOffset) {
        presentationTime = presentationTime - totalPausedDuration_;
    }
    if (!hasStartedSession_) {
        assetWriter_->startSession(presentationTime);
        hasStartedSession_ = true;
    }
    const std::shared_ptr<Sample> appended =
        hasPauseOffset ? CreateRetimedSample(*sample, totalPausedDuration_) : sample;
    if (!appended) {
        return;
    }
    const bool isVideo = type == OutputType::Screen;
    if (!input->appendSample(appended)) {
        media_->log(format("Failed to append %s sample buffer", isVideo ? "video" : "audio"));
        return;
    }
    const MediaTime start = appended->presentationTimeStamp();
    const MediaTime duration = appended->duration();
    MediaTime sampleEnd = start;
    if (duration.isNumeric() && duration > MediaTime::zero()) {
        sampleEnd = start + duration;
    } else if (isVideo) {
        sampleEnd = start + nominalVideoFrameDuration_;
    }
    if (!latestWrittenEndTime_.isValid() || sampleEnd > latestWrittenEndTime_) {
        latestWrittenEndTime_ = sampleEnd;
    }
    if (isVideo) {
        latestVideoWrittenEndTime_ = sampleEnd;
        lastVideoSample_ = appended;
        ++counts_.writtenVideo;
    }
}

void ScreenRecorder::pauseRecording() {
    Lock lock(monitor_);
    if (!isRecording_ || isPaused_) {
        return;
    }
    isPaused_ = true;
    pauseStartTime_ = media_->hostTime();
    media_->log(format("Recording paused at %f", pauseStartTime_.seconds()));
}

void ScreenRecorder::resumeRecording() {
    Lock lock(monitor_);
    if (!isRecording_ || !isPaused_) {
        return;
    }
    const MediaTime now = media_->hostTime();
    if (pauseStartTime_.isValid()) {
        const MediaTime pauseDuration = now - pauseStartTime_;
        totalPausedDuration_ =
            totalPausedDuration_.isValid() ? totalPausedDuration_ + pauseDuration : pauseDuration;
        media_->log(format("Resumed after %f seconds pause, total paused: %f",
                           pauseDuration.seconds(), totalPausedDuration_.seconds()));
    }
    isPaused_ = false;
    pauseStartTime_ = MediaTime::invalid();
    latestResumeTime_ = now;
}

MediaTime ScreenRecorder::sourceTimeForHostTime(MediaTime hostTime) const {
    MediaTime paused = totalPausedDuration_;
    if (isPaused_ && pauseStartTime_.isValid()) {
        paused = paused + (hostTime - pauseStartTime_);
    }
    return hostTime - paused;
}

// ---- Stop, finish and unexpected end --------------------------------------------------------

void ScreenRecorder::stopRecording(StopCompletion completion) {
    MediaTime endTime;
    std::shared_ptr<CaptureStream> stream;
    {
        Lock lock(monitor_);
        if (!isRecording_ || isStopping_) {
            completion(std::nullopt, RecorderError(kCodeNotRecording, kMessageNotRecording));
            return;
        }
        endTime = sourceTimeForHostTime(media_->hostTime());
        isStopping_ = true;
        stream = stream_;
    }
    stopStreamThen(
        stream, [self = shared_from_this(), endTime, completion = std::move(completion)] {
            self->finishWritingAtSourceTime(endTime, [self, completion](MaybeError holdError) {
                self->finishRequestedStop(holdError, completion);
            });
        });
}

void ScreenRecorder::stopStreamThen(const std::shared_ptr<CaptureStream>& stream,
                                    std::function<void()> next) {
    if (!stream) {
        next();
        return;
    }
    stream->stopCapture([self = shared_from_this(), stream, next = std::move(next)](MaybeError) {
        bool hasAudio = false;
        {
            Lock lock(self->monitor_);
            hasAudio = self->audioInput_ != nullptr;
        }
        stream->removeStreamOutput(OutputType::Screen);
        if (hasAudio) {
            stream->removeStreamOutput(OutputType::Audio);
        }
        next();
    });
}

void ScreenRecorder::endAfterWriterFailure() {
    const MaybeError error = assetWriter_->error();
    std::string message = error ? error->description : kMessageWritingFailed;
    const MediaTime endTime = sourceTimeForHostTime(media_->hostTime());
    isRecording_ = false;
    isStopping_ = true;
    media_->log(format("Writing failed: %s", message.c_str()));
    // The stream stops on its own queue: this runs on a sample delivery, under the lock.
    stopStreamThen(stream_, [self = shared_from_this(), endTime, message = std::move(message)] {
        self->finishWritingAtSourceTime(endTime, [self, message](MaybeError holdError) {
            self->finishUnexpectedStop(message, holdError);
        });
    });
}

void ScreenRecorder::logTakeCounts(const TakeCounts& counts) {
    media_->log(format(kLogTakeEnded, static_cast<long long>(counts.writtenVideo),
                       static_cast<long long>(counts.droppedVideo),
                       static_cast<long long>(counts.droppedAudio)));
}

void ScreenRecorder::finishRequestedStop(const MaybeError&, const StopCompletion& completion) {
    std::string path;
    std::shared_ptr<AssetWriter> writer;
    bool wroteVideo = false;
    TakeCounts counts;
    {
        Lock lock(monitor_);
        wroteVideo = latestVideoWrittenEndTime_.isValid();
        isRecording_ = false;
        isStopping_ = false;
        path = outputPath_;
        writer = assetWriter_;
        counts = counts_;
    }
    logTakeCounts(counts);
    // A hold-frame failure does not fail the stop: the file is complete without it.
    if (!wroteVideo) {
        Error error = RecorderError(kCodeNoVideo, kMessageNoVideo);
        if (media_->fileExists(path)) {
            if (MaybeError removal = media_->removeFile(path)) {
                error = RecorderError(kCodeFinishFailed,
                                      format(kMessageRemoveFailed, kMessageNoVideo, path.c_str(),
                                             removal->description.c_str()));
            }
        }
        completion(std::nullopt, error);
        return;
    }
    if (writer && writer->status() == WriterStatus::Completed) {
        completion(path, std::nullopt);
        return;
    }
    completion(std::nullopt, writer ? writer->error() : std::nullopt);
}

void ScreenRecorder::streamDidStopWithError(const MaybeError& error) {
    std::string message = error ? error->description : kMessageStoppedUnexpectedly;
    MediaTime endTime;
    {
        Lock lock(monitor_);
        if (!isRecording_ || isStopping_) {
            return;
        }
        endTime = sourceTimeForHostTime(media_->hostTime());
        isRecording_ = false;
        isStopping_ = true;
    }
    media_->log(format("Stream stopped unexpectedly: %s", message.c_str()));
    finishWritingAtSourceTime(
        endTime, [self = shared_from_this(), message = std::move(message)](MaybeError holdError) {
            self->finishUnexpectedStop(message, holdError);
        });
}

void ScreenRecorder::finishUnexpectedStop(std::string message, const MaybeError& holdError) {
    bool wroteVideo = false;
    TakeCounts counts;
    {
        Lock lock(monitor_);
        wroteVideo = latestVideoWrittenEndTime_.isValid();
        isStopping_ = false;
        counts = counts_;
    }
    logTakeCounts(counts);
    if (holdError) {
        media_->log(
            format("Failed to extend final video frame: %s", holdError->description.c_str()));
        message += format("; %s", holdError->description.c_str());
    }
    if (!wroteVideo) {
        message += format("; %s", kMessageNoVideo);
    }
    if (counts.droppedVideo > 0) {
        message += format(kMessageFramesDropped, static_cast<long long>(counts.droppedVideo));
    }
    Lock lock(monitor_);
    if (onStoppedUnexpectedly_) {
        onStoppedUnexpectedly_(message, wroteVideo);
    }
}

void ScreenRecorder::finishWritingAtSourceTime(MediaTime endTime,
                                               std::function<void(MaybeError)> completion) {
    std::unique_lock<std::recursive_mutex> lock(monitor_);
    const std::shared_ptr<AssetWriter> writer = assetWriter_;
    if (!writer || writer->status() != WriterStatus::Writing) {
        clearLastVideoSample();
        lock.unlock();
        completion(std::nullopt);
        return;
    }
    // The end never cuts off media already written.
    if (latestWrittenEndTime_.isValid() && latestWrittenEndTime_ > endTime) {
        endTime = latestWrittenEndTime_;
    }
    MaybeError holdError;
    if (hasStartedSession_ && latestVideoWrittenEndTime_.isValid() &&
        latestVideoWrittenEndTime_ < endTime) {
        const MediaTime holdDuration = nominalVideoFrameDuration_;
        MediaTime holdStart = endTime - holdDuration;
        if (!holdStart.isNumeric() || holdStart < latestVideoWrittenEndTime_) {
            holdStart = latestVideoWrittenEndTime_;
        }
        const MediaTime holdEnd = holdStart + holdDuration;
        const std::shared_ptr<Sample> hold =
            CreateVideoHoldSample(lastVideoSample_, holdStart, holdEnd);
        if (!hold) {
            holdError = RecorderError(kCodeFinishFailed, kMessageHoldCreate);
        } else if (videoInput_ && videoInput_->isReadyForMoreMediaData() &&
                   videoInput_->appendSample(hold)) {
            if (holdEnd > endTime) {
                endTime = holdEnd;
            }
        } else {
            holdError = RecorderError(kCodeFinishFailed, kMessageHoldAppend);
        }
    }
    if (hasStartedSession_ && writer->status() == WriterStatus::Writing) {
        writer->endSession(endTime);
    }
    if (writer->status() == WriterStatus::Writing && audioInput_) {
        audioInput_->markAsFinished();
    }
    if (writer->status() == WriterStatus::Writing && videoInput_) {
        videoInput_->markAsFinished();
    }
    // Read once more right before finishing: the writer can fail in between (a failing hold
    // frame fails it), and AVFoundation raises when a failed writer is asked to finish.
    const bool canFinish = writer->status() == WriterStatus::Writing;
    lock.unlock();
    if (!canFinish) {
        clearLastVideoSample();
        completion(holdError);
        return;
    }
    writer->finishWriting(
        [self = shared_from_this(), completion = std::move(completion), holdError] {
            self->clearLastVideoSample();
            completion(holdError);
        });
}

}  // namespace filmstrip

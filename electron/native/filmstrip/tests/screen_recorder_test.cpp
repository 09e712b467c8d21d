#include "screen_recorder.h"

#include <gtest/gtest.h>

#include "media_fake.h"

namespace filmstrip {
namespace {

using fake::FakeMedia;
using fake::FakeSample;
using fake::ManualExecutor;

constexpr const char* kPath = "/tmp/out.mp4";
constexpr uint32_t kDisplay = 7;

MediaTime ms(int64_t milliseconds) {
    return MediaTime::make(milliseconds, 1000);
}

CaptureOptions options(int framerate = 30, bool lowMemory = false, bool hevc = false,
                       bool audio = false) {
    return CaptureOptions{lowMemory, hevc, audio, framerate};
}

// Counts every completion so that each test also checks "exactly once".
struct StartResult {
    int calls = 0;
    MaybeError error;
};
struct StopResult {
    int calls = 0;
    std::optional<std::string> path;
    MaybeError error;
};
struct Notice {
    int calls = 0;
    std::string message;
    bool wroteVideo = false;
};

class RecorderTest : public ::testing::Test {
  protected:
    RecorderTest() {
        media->content.displays = {{kDisplay, 1512, 982}, {8, 800, 600}};
        media->content.applications = {{"com.example.other"}};
        media->content.windows = {
            {42, {10, 20, 640, 480}, "Editor", ContentApplication{"com.example.other"}},
            {43, {0, 0, 80, 400}, "Narrow", ContentApplication{"com.example.other"}},
            {44, {0, 0, 300, 300}, "Own panel", ContentApplication{"com.example.host"}},
        };
        media->modes[kDisplay] = {1512, 982, 3024};
        media->modes[2] = {1000, 800, 1000};
        recorder->setOnStoppedUnexpectedly([this](const std::string& message, bool wroteVideo) {
            ++notice.calls;
            notice.message = message;
            notice.wroteVideo = wroteVideo;
        });
    }

    StartResult& startDisplay(CaptureOptions opts = options(), Rect rect = Rect::nullRect(),
                              uint32_t display = kDisplay) {
        starts.emplace_back();
        StartResult* result = &starts.back();
        recorder->startRecordingDisplay(display, kPath, rect, opts, [result](MaybeError error) {
            ++result->calls;
            result->error = error;
        });
        queue.drain();
        return *result;
    }

    StartResult& startWindow(uint32_t window, CaptureOptions opts = options()) {
        starts.emplace_back();
        StartResult* result = &starts.back();
        recorder->startRecordingWindow(window, kPath, opts, [result](MaybeError error) {
            ++result->calls;
            result->error = error;
        });
        queue.drain();
        return *result;
    }

    StopResult& stop(bool drain = true) {
        stops.emplace_back();
        StopResult* result = &stops.back();
        recorder->stopRecording([result](std::optional<std::string> path, MaybeError error) {
            ++result->calls;
            result->path = path;
            result->error = error;
        });
        if (drain) {
            queue.drain();
        }
        return *result;
    }

    void video(int64_t ptsMs, int frame = 0, bool hasImage = true) {
        media->deliver(FakeSample::video(ms(ptsMs), MediaTime::make(1, 30), frame, hasImage),
                       OutputType::Screen);
    }
    void at(double seconds) { media->setHostSeconds(seconds); }

    ManualExecutor queue;
    std::shared_ptr<FakeMedia> media = std::make_shared<FakeMedia>(queue);
    std::shared_ptr<ScreenRecorder> recorder = ScreenRecorder::create(media);
    std::deque<StartResult> starts;
    std::deque<StopResult> stops;
    Notice notice;
};

// Names parameterised cases after their `name` field.
struct {
    template <typename Info>
    std::string operator()(const Info& testInfo) const {
        return testInfo.param.name;
    }
} CaseName;

void expectError(const MaybeError& error, int64_t code, const std::string& message,
                 const std::string& domain = kRecorderErrorDomain) {
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->domain, domain);
    EXPECT_EQ(error->code, code);
    EXPECT_EQ(error->description, message);
}

// ---- Configuration ---------------------------------------------------------------------

struct ConfigCase {
    const char* name;
    CaptureOptions options;
    Rect rect;
    int64_t width, height;
    uint32_t pixelFormat;
    int queueDepth;
    const char* log;
};
void PrintTo(const ConfigCase& c, std::ostream* os) {
    *os << c.name;
}

class ConfigurationTest : public RecorderTest, public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(ConfigurationTest, DerivesSizeFormatDepthAndLogsThem) {
    const ConfigCase& c = GetParam();
    const StartResult& result = startDisplay(c.options, c.rect);
    EXPECT_EQ(result.calls, 1);
    EXPECT_FALSE(result.error);
    const StreamConfiguration& config = media->lastConfiguration;
    EXPECT_EQ(config.width, c.width);
    EXPECT_EQ(config.height, c.height);
    EXPECT_EQ(config.pixelFormat, c.pixelFormat);
    EXPECT_EQ(config.queueDepth, c.queueDepth);
    EXPECT_EQ(config.minimumFrameInterval, MediaTime::make(1, c.options.framerate));
    EXPECT_FALSE(config.showsCursor);
    EXPECT_FALSE(config.scalesToFit);
    EXPECT_EQ(config.sampleRate, 48000);
    EXPECT_EQ(config.channelCount, 2);
    EXPECT_EQ(config.capturesAudio, c.options.systemAudio);
    EXPECT_EQ(config.sourceRect.has_value(), !c.rect.isNull());
    EXPECT_TRUE(media->hasLogLine(c.log)) << ::testing::PrintToString(media->logLines());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigurationTest,
    ::testing::Values(
        ConfigCase{"retina_display", options(30), Rect::nullRect(), 3024, 1964, kPixelFormatBGRA, 5,
                   "Capture configured: 3024x1964 (scale: 2.00, backing: 2.00) fps=30, hevc=NO, "
                   "lowMemory=NO"},
        ConfigCase{"rect_rounds_then_evens", options(15), Rect{0, 0, 801.3, 600.5, false}, 1602,
                   1200, kPixelFormatBGRA, 3,
                   "Capture configured: 1602x1200 (scale: 2.00, backing: 2.00) fps=15, hevc=NO, "
                   "lowMemory=NO"},
        ConfigCase{"low_memory_points", options(24, true), Rect::nullRect(), 1512, 982,
                   kPixelFormat420v, 3,
                   "Capture configured: 1512x982 (scale: 1.00, backing: 2.00) fps=24, hevc=NO, "
                   "lowMemory=YES"},
        ConfigCase{"hevc_low_memory", options(60, true, true), Rect::nullRect(), 1512, 982,
                   kPixelFormat420f, 3,
                   "Capture configured: 1512x982 (scale: 1.00, backing: 2.00) fps=60, hevc=YES, "
                   "lowMemory=YES"},
        ConfigCase{"odd_and_tiny", options(24, false, true), Rect{0, 0, 0.5, 3.4, false}, 0, 6,
                   kPixelFormat420f, 4,
                   "Capture configured: 0x6 (scale: 2.00, backing: 2.00) fps=24, hevc=YES, "
                   "lowMemory=NO"},
        ConfigCase{"high_rate_depth_capped", options(48), Rect{0, 0, 100, 100, false}, 200, 200,
                   kPixelFormatBGRA, 8,
                   "Capture configured: 200x200 (scale: 2.00, backing: 2.00) fps=48, hevc=NO, "
                   "lowMemory=NO"}),
    CaseName);

TEST_F(RecorderTest, DisplayWithoutModeUsesContentSizeAtScaleOne) {
    startDisplay(options(25), Rect::nullRect(), 8);
    EXPECT_EQ(media->lastConfiguration.width, 800);
    EXPECT_EQ(media->lastConfiguration.height, 600);
    EXPECT_EQ(media->lastConfiguration.queueDepth, 5);
}

TEST_F(RecorderTest, WriterSettingsFollowTheCodecAndMemoryMode) {
    startDisplay(options(30, true, false, true));
    ASSERT_EQ(media->inputs.size(), 2u);
    const VideoSettings& h264 = media->inputs[0]->videoSettings;
    EXPECT_EQ(h264.codec, VideoCodec::H264);
    EXPECT_EQ(h264.averageBitRate, 5000000);
    EXPECT_EQ(h264.profileLevel, kProfileLevelH264HighAuto);
    EXPECT_EQ(h264.allowFrameReordering, false);
    EXPECT_EQ(h264.expectedSourceFrameRate, 30);
    EXPECT_EQ(h264.maxKeyFrameInterval, 30);
    EXPECT_EQ(h264.width, 1512);
    const AudioSettings& aac = media->inputs[1]->audioSettings;
    EXPECT_EQ(aac.formatID, kAudioFormatMPEG4AAC);
    EXPECT_EQ(aac.channels, 2);
    EXPECT_EQ(aac.sampleRate, 48000);
    EXPECT_EQ(aac.channelLayoutTag, kAudioChannelLayoutTagStereo);
    EXPECT_EQ(aac.channelBitmap, 3u);
    EXPECT_EQ(aac.bitRate, 128000);
    EXPECT_TRUE(media->optimizeForNetworkUse);
    EXPECT_EQ(media->fragmentInterval, MediaTime::make(5, 1));
    EXPECT_EQ(media->outputs, (std::set<OutputType>{OutputType::Screen, OutputType::Audio}));

    stop();
    startDisplay(options(25, false, true));
    ASSERT_EQ(media->inputs.size(), 1u);
    const VideoSettings& hevc = media->inputs[0]->videoSettings;
    EXPECT_EQ(hevc.codec, VideoCodec::HEVC);
    EXPECT_EQ(hevc.realTime, true);
    EXPECT_EQ(hevc.expectedSourceFrameRate, 25);
    EXPECT_EQ(hevc.maxKeyFrameInterval, 25);
    EXPECT_EQ(hevc.profileLevel, kProfileLevelHEVCMainAuto);
    EXPECT_FALSE(hevc.averageBitRate);
    EXPECT_FALSE(hevc.allowFrameReordering);
    EXPECT_EQ(media->outputs, std::set<OutputType>{OutputType::Screen});
}

TEST_F(RecorderTest, HostApplicationIsLeftOutOfTheDisplay) {
    startDisplay();
    EXPECT_EQ(media->lastFilter.kind, ContentFilter::Kind::DisplayExcludingWindows);
    ASSERT_EQ(media->lastFilter.excludedWindows.size(), 1u);
    EXPECT_EQ(media->lastFilter.excludedWindows[0].windowID, 44u);
    stop();

    media->content.applications.push_back({"com.example.host"});
    startDisplay();
    EXPECT_EQ(media->lastFilter.kind, ContentFilter::Kind::DisplayExcludingApplications);
    ASSERT_EQ(media->lastFilter.excludedApplications.size(), 1u);
    EXPECT_EQ(media->lastFilter.excludedApplications[0].bundleIdentifier, "com.example.host");
    EXPECT_TRUE(media->lastFilter.exceptingWindows.empty());
}

TEST_F(RecorderTest, WindowHasAFloorOfOneHundredPointsAndTheScaleOfItsDisplay) {
    media->displaysAtPoint = std::vector<uint32_t>{2};
    EXPECT_FALSE(startWindow(43).error);
    EXPECT_EQ(media->lastFilter.kind, ContentFilter::Kind::Window);
    EXPECT_EQ(media->lastFilter.window.windowID, 43u);
    EXPECT_EQ(media->lastConfiguration.width, 100);
    EXPECT_EQ(media->lastConfiguration.height, 400);
    EXPECT_TRUE(media->hasLogLine("Recording window: Narrow (ID: 43, size: 80x400)"));
    stop();

    media->displaysAtPoint.reset();  // the centre lies on no display: the main display's scale
    media->mainDisplay = kDisplay;
    EXPECT_FALSE(startWindow(42).error);
    EXPECT_EQ(media->lastConfiguration.width, 1280);
    EXPECT_EQ(media->lastConfiguration.height, 960);
}

// ---- Start refusal and failed starts -----------------------------------------------------

TEST_F(RecorderTest, SecondStartIsRefusedWhileStartingRecordingOrStopping) {
    recorder->startRecordingDisplay(kDisplay, kPath, Rect::nullRect(), options(), [](auto) {});
    // Still waiting for the content: a second start is refused at once.
    const StartResult& whileStarting = startDisplay();
    EXPECT_EQ(whileStarting.calls, 1);
    expectError(whileStarting.error, 5, "A recording is already in progress");
    EXPECT_TRUE(media->files.count(kPath));  // the first attempt's file is left alone

    video(100);
    stop(false);
    const StartResult& whileStopping = startDisplay();
    expectError(whileStopping.error, 5, "A recording is already in progress");
    EXPECT_EQ(stops.back().calls, 1);
    EXPECT_EQ(stops.back().path, std::string(kPath));
    EXPECT_FALSE(startDisplay().error);  // idle again after the stop
}

struct FailureCase {
    const char* name;
    std::function<void(FakeMedia&)> arrange;
    uint32_t display;
    int64_t code;
    std::string message;
    std::string domain;
};
void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class FailedStartTest : public RecorderTest, public ::testing::WithParamInterface<FailureCase> {};

const Error kPlatformError{"PlatformDomain", -3801, "platform said no"};

TEST_P(FailedStartTest, CleansUpReportsOnceAndCanStartAgain) {
    const FailureCase& c = GetParam();
    c.arrange(*media);
    const StartResult& result =
        startDisplay(options(30, false, false, true), Rect::nullRect(), c.display);
    EXPECT_EQ(result.calls, 1);
    expectError(result.error, c.code, c.message, c.domain);
    EXPECT_FALSE(media->files.count(kPath));
    if (media->writerStatus == WriterStatus::Writing) {
        ADD_FAILURE() << "writer left writing";
    }
    EXPECT_EQ(queue.pending(), 0u);

    // Back to a healthy platform: the recorder is idle again.
    media->contentError.reset();
    media->writerCreationError.reset();
    media->refuseVideoInput = media->refuseAudioInput = media->refuseStartWriting = false;
    media->addOutputErrors.clear();
    media->startCaptureError.reset();
    EXPECT_FALSE(startDisplay().error);
}

const std::string kAudioMessage =
    "This Mac would not record system audio. Choose Mute System Audio in the dock to record "
    "without it.";

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedStartTest,
    ::testing::Values(
        FailureCase{"content_unavailable", [](FakeMedia& m) { m.contentError = kPlatformError; },
                    kDisplay, -3801, "platform said no", "PlatformDomain"},
        FailureCase{"display_unplugged", [](FakeMedia&) {}, 4000000001u, 1,
                    "Display 4000000001 not found (disconnected?)", kRecorderErrorDomain},
        FailureCase{"writer_creation", [](FakeMedia& m) { m.writerCreationError = kPlatformError; },
                    kDisplay, -3801, "platform said no", "PlatformDomain"},
        FailureCase{"video_input_refused", [](FakeMedia& m) { m.refuseVideoInput = true; },
                    kDisplay, 2, "The video encoder refused this capture's settings",
                    kRecorderErrorDomain},
        FailureCase{"audio_input_refused", [](FakeMedia& m) { m.refuseAudioInput = true; },
                    kDisplay, 2, kAudioMessage, kRecorderErrorDomain},
        FailureCase{"start_writing", [](FakeMedia& m) { m.refuseStartWriting = true; }, kDisplay, 2,
                    "Failed to start writing", kRecorderErrorDomain},
        FailureCase{"screen_output",
                    [](FakeMedia& m) { m.addOutputErrors[OutputType::Screen] = kPlatformError; },
                    kDisplay, -3801, "platform said no", "PlatformDomain"},
        FailureCase{"audio_output",
                    [](FakeMedia& m) { m.addOutputErrors[OutputType::Audio] = kPlatformError; },
                    kDisplay, 2, kAudioMessage, kRecorderErrorDomain},
        FailureCase{"capture_start", [](FakeMedia& m) { m.startCaptureError = kPlatformError; },
                    kDisplay, -3801, "platform said no", "PlatformDomain"}),
    CaseName);

TEST_F(RecorderTest, FailedAudioOutputIsLogged) {
    media->addOutputErrors[OutputType::Audio] = kPlatformError;
    startDisplay(options(30, false, false, true));
    EXPECT_TRUE(media->hasLogLine("Failed to add audio output: platform said no"));
    EXPECT_EQ(media->cancelCalls, 1);
}

TEST_F(RecorderTest, MissingWindowIsReported) {
    const StartResult& result = startWindow(999);
    expectError(result.error, 1, "Window not found");
}

TEST_F(RecorderTest, MissingWindowOnWaylandSaysOnlyXWaylandWindowsCanBeRecorded) {
    media->content.xwaylandWindowsOnly = true;
    const StartResult& result = startWindow(999);
    expectError(result.error, 1,
                "Window not found among the XWayland windows: on Wayland only X11 (XWayland) "
                "windows can be recorded; run the app with GDK_BACKEND=x11, "
                "QT_QPA_PLATFORM=xcb or --ozone-platform=x11, or record its display");
}

TEST_F(RecorderTest, FailedStartNeverRemovesAFileThatWasThereBefore) {
    media->files.insert(kPath);
    for (auto arrange :
         {std::function<void()>([&] { media->writerCreationError = kPlatformError; }),
          std::function<void()>([&] {
              media->writerCreationError.reset();
              media->startCaptureError = kPlatformError;
          })}) {
        arrange();
        EXPECT_TRUE(startDisplay().error);
        EXPECT_TRUE(media->files.count(kPath));
    }
    EXPECT_TRUE(startDisplay(options(), Rect::nullRect(), 12345).error);  // display missing
    EXPECT_TRUE(media->files.count(kPath));
}

TEST_F(RecorderTest, UnremovablePartialFileIsLogged) {
    media->unremovableFiles.insert(kPath);
    media->startCaptureError = kPlatformError;
    startDisplay();
    EXPECT_TRUE(
        media->hasLogLine("Warning: Could not remove orphaned recording file: permission denied"));
}

// ---- Intake and the pause timeline -------------------------------------------------------

TEST_F(RecorderTest, WorkedPauseExample) {
    startDisplay();
    at(100.0);
    video(100000, 1);
    EXPECT_EQ(media->sessionStart, ms(100000));
    at(110.0);
    recorder->pauseRecording();
    video(112000, 2);  // dropped while paused
    at(115.0);
    recorder->resumeRecording();
    video(115200, 3);
    ASSERT_EQ(media->appendedVideo.size(), 2u);
    EXPECT_EQ(media->appendedVideo[1].pts, ms(110200));
    EXPECT_TRUE(media->hasLogLine("Recording paused at 110.000000"));
    EXPECT_TRUE(media->hasLogLine("Resumed after 5.000000 seconds pause, total paused: 5.000000"));

    std::lock_guard<std::recursive_mutex> lock(recorder->monitor());
    EXPECT_EQ(recorder->sourceTimeForHostTime(ms(120000)), ms(115000));
}

TEST_F(RecorderTest, SampleCapturedBeforeResumeIsDroppedWhenDeliveredAfter) {
    startDisplay();
    at(100.0);
    video(100000, 1);
    at(110.0);
    video(109900, 2);
    recorder->pauseRecording();
    at(115.0);
    recorder->resumeRecording();
    video(114850, 3);  // captured during the pause, delivered late
    video(115100, 4);
    video(115133, 5);
    ASSERT_EQ(media->appendedVideo.size(), 4u);
    EXPECT_EQ(media->appendedVideo[2].pts, ms(110100));
    for (size_t i = 1; i < media->appendedVideo.size(); ++i) {
        EXPECT_GT(media->appendedVideo[i].pts, media->appendedVideo[i - 1].pts);
    }
    EXPECT_EQ(stop().path, std::string(kPath));
}

TEST(H264SizeTest, RefusesFramesPastTheLargestLevel) {
    struct Case {
        int64_t width, height;
        bool fits;
    };
    const Case cases[] = {
        {3024, 1964, true},  {4096, 2304, true},  {4096, 2160, true},
        {4097, 1000, false}, {1000, 4097, false}, {5120, 2880, false},
        {4096, 2320, false}, {3840, 2400, true},  {4096, 2305, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(h264CanEncode(c.width, c.height), c.fits) << c.width << "x" << c.height;
    }
}

TEST_F(RecorderTest, H264IsRefusedUpFrontForA5KDisplay) {
    media->content.displays[0] = {kDisplay, 2560, 1440};
    media->modes[kDisplay] = {2560, 1440, 5120};
    const StartResult& refused = startDisplay();
    EXPECT_EQ(refused.calls, 1);
    expectError(refused.error, 2,
                "H.264 cannot encode 5120x2880 pixels (its frames hold at most 4096x2304); record "
                "with the HEVC encoder, or with the low-memory encoder at point size",
                kRecorderErrorDomain);
    EXPECT_FALSE(media->files.count(kPath));
    EXPECT_FALSE(startDisplay(options(30, false, true)).error);
}

TEST_F(RecorderTest, StopWhilePausedEndsAtThePause) {
    startDisplay();
    at(100.0);
    video(100000);
    at(110.0);
    recorder->pauseRecording();
    at(112.0);
    const StopResult& result = stop();
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(media->sessionEnd, ms(110000));
    EXPECT_EQ(result.path, std::string(kPath));
}

TEST_F(RecorderTest, RetimingMovesDecodeStampsOnlyWhenValid) {
    startDisplay(options(30, false, false, true));
    at(1.0);
    recorder->pauseRecording();
    at(3.0);
    recorder->resumeRecording();
    media->deliver(FakeSample::audio(ms(3500), ms(20)), OutputType::Audio);  // first: audio
    EXPECT_EQ(media->sessionStart, ms(1500));
    video(3600);
    const auto audioTiming = media->appendedAudio.at(0).sample->timingInfo();
    EXPECT_EQ(audioTiming->at(0).decodeTimeStamp, ms(1500));
    const auto videoTiming = media->appendedVideo.at(0).sample->timingInfo();
    EXPECT_FALSE(videoTiming->at(0).decodeTimeStamp.isValid());
    EXPECT_EQ(videoTiming->at(0).presentationTimeStamp, ms(1600));
}

TEST_F(RecorderTest, SamplesThatAreNotWrittenLeaveNoTrace) {
    startDisplay();
    video(1000, 0, false);                                                  // status only
    media->deliver(FakeSample::audio(ms(900), ms(20)), OutputType::Audio);  // no audio input
    media->videoReady = false;
    video(1000);
    media->videoReady = true;
    EXPECT_FALSE(media->sessionStart);
    EXPECT_TRUE(media->appendedVideo.empty());

    at(2.0);  // a copy that cannot be made after a pause is dropped
    recorder->pauseRecording();
    at(3.0);
    recorder->resumeRecording();
    auto sample = FakeSample::video(ms(4000), ms(33));
    sample->failCopies = true;
    media->deliver(sample, OutputType::Screen);
    EXPECT_EQ(media->sessionStart, ms(3000));
    EXPECT_TRUE(media->appendedVideo.empty());
}

TEST_F(RecorderTest, FailedAppendIsLoggedAndNotCounted) {
    startDisplay();
    media->failAppends = true;
    video(1000);
    EXPECT_TRUE(media->hasLogLine("Failed to append video sample buffer"));
    media->failAppends = false;
    const StopResult& result = stop();
    expectError(result.error, 7, "ScreenCaptureKit produced zero video samples");
}

TEST_F(RecorderTest, PauseAndResumeAreIgnoredOutOfTurn) {
    recorder->pauseRecording();  // not recording yet
    startDisplay();
    recorder->resumeRecording();  // not paused
    at(1.0);
    recorder->pauseRecording();
    at(2.0);
    recorder->pauseRecording();  // the first pause's start is kept
    at(4.0);
    recorder->resumeRecording();
    EXPECT_TRUE(media->hasLogLine("Resumed after 3.000000 seconds pause, total paused: 3.000000"));
    EXPECT_EQ(media->logLines().size(), 3u);  // configured, paused, resumed
}

// ---- Stop and the hold frame -------------------------------------------------------------

struct HoldCase {
    const char* name;
    int framerate;
    std::vector<std::pair<int64_t, MediaTime>> videoFrames;  // pts ms, duration
    std::optional<std::pair<int64_t, int64_t>> audio;        // pts ms, duration ms
    int64_t stopMs;
    MediaTime holdStart;
    MediaTime sessionEnd;
};
void PrintTo(const HoldCase& c, std::ostream* os) {
    *os << c.name;
}

class HoldFrameTest : public RecorderTest, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(HoldFrameTest, CarriesTheVideoToTheEnd) {
    const HoldCase& c = GetParam();
    startDisplay(options(c.framerate, false, false, c.audio.has_value()));
    for (const auto& [pts, duration] : c.videoFrames) {
        media->deliver(FakeSample::video(ms(pts), duration, 1), OutputType::Screen);
    }
    if (c.audio) {
        media->deliver(FakeSample::audio(ms(c.audio->first), ms(c.audio->second)),
                       OutputType::Audio);
    }
    at(static_cast<double>(c.stopMs) / 1000);
    const StopResult& result = stop();
    EXPECT_EQ(result.path, std::string(kPath));
    ASSERT_EQ(media->appendedVideo.size(), c.videoFrames.size() + 1);
    const fake::Appended& hold = media->appendedVideo.back();
    EXPECT_EQ(hold.pts, c.holdStart);
    EXPECT_EQ(hold.duration, MediaTime::make(1, c.framerate));
    EXPECT_EQ(static_cast<FakeSample&>(*hold.sample).frameNumber(), 1);
    EXPECT_EQ(media->sessionEnd, c.sessionEnd);
    EXPECT_EQ(media->markedFinished, c.audio ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, HoldFrameTest,
                         ::testing::Values(HoldCase{"unchanging_screen",
                                                    30,
                                                    {{0, MediaTime::make(1, 30)}},
                                                    std::nullopt,
                                                    10000,
                                                    ms(10000) - MediaTime::make(1, 30),
                                                    ms(10000)},
                                           HoldCase{"stop_just_after_last_frame",
                                                    30,
                                                    {{0, ms(990)}},
                                                    std::nullopt,
                                                    1000,
                                                    ms(990),
                                                    ms(990) + MediaTime::make(1, 30)},
                                           HoldCase{"audio_moves_the_end",
                                                    30,
                                                    {{0, MediaTime::make(1, 30)}},
                                                    std::make_pair<int64_t, int64_t>(1900, 200),
                                                    2000,
                                                    ms(2100) - MediaTime::make(1, 30),
                                                    ms(2100)},
                                           HoldCase{"frame_without_duration",
                                                    10,
                                                    {{0, MediaTime::invalid()}},
                                                    std::nullopt,
                                                    500,
                                                    ms(400),
                                                    ms(500)}),
                         CaseName);

TEST_F(RecorderTest, NoHoldFrameWhenVideoReachesTheEnd) {
    startDisplay();
    video(0);
    at(0.02);
    stop();
    EXPECT_EQ(media->appendedVideo.size(), 1u);
    EXPECT_EQ(media->sessionEnd, MediaTime::make(1, 30));
}

TEST_F(RecorderTest, HoldFrameFailuresDoNotFailTheStop) {
    startDisplay();
    video(0);
    media->videoReady = false;
    at(5.0);
    const StopResult& result = stop();
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(result.path, std::string(kPath));
    EXPECT_FALSE(result.error);
}

TEST_F(RecorderTest, ZeroVideoRemovesTheFile) {
    startDisplay();
    video(0, 0, false);
    at(3.0);
    const StopResult& result = stop();
    EXPECT_EQ(result.calls, 1);
    EXPECT_FALSE(result.path);
    expectError(result.error, 7, "ScreenCaptureKit produced zero video samples");
    EXPECT_FALSE(media->files.count(kPath));
}

TEST_F(RecorderTest, ZeroVideoWithUnremovableFileNamesBothFailures) {
    startDisplay();
    media->unremovableFiles.insert(kPath);
    const StopResult& result = stop();
    expectError(result.error, 6,
                "ScreenCaptureKit produced zero video samples; failed to remove /tmp/out.mp4: "
                "permission denied");
}

TEST_F(RecorderTest, WriterFailureIsReportedByTheStop) {
    startDisplay();
    video(0);
    media->failFinish = true;
    media->writerError =
        Error{"AVFoundationErrorDomain", -11800, "The operation could not be completed"};
    const StopResult& result = stop();
    EXPECT_FALSE(result.path);
    expectError(result.error, -11800, "The operation could not be completed",
                "AVFoundationErrorDomain");

    // A writer that failed during the recording is left alone by the finish.
    startDisplay();
    video(0);
    media->writerStatus = WriterStatus::Failed;
    media->writerError =
        Error{"AVFoundationErrorDomain", -11800, "The operation could not be completed"};
    const StopResult& failed = stop();
    EXPECT_EQ(media->finishCalls, 1);
    expectError(failed.error, -11800, "The operation could not be completed",
                "AVFoundationErrorDomain");
    EXPECT_TRUE(media->files.count(kPath));
}

TEST_F(RecorderTest, StopTwiceAndStopWhenIdle) {
    const StopResult& idle = stop();
    EXPECT_EQ(idle.calls, 1);
    expectError(idle.error, 4, "Not recording");
    startDisplay();
    video(0);
    const StopResult& first = stop(false);
    const StopResult& second = stop(false);
    EXPECT_EQ(second.calls, 1);
    expectError(second.error, 4, "Not recording");
    EXPECT_EQ(first.calls, 0);
    queue.drain();
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(first.path, std::string(kPath));
    EXPECT_EQ(media->stopCaptureCalls, 1);
    EXPECT_TRUE(media->outputs.empty());
}

TEST_F(RecorderTest, NoSampleIsWrittenOnceTheStopTookItsEnd) {
    startDisplay();
    video(0);
    at(1.0);
    stop(false);
    video(1000);
    queue.drain();
    EXPECT_EQ(media->appendedVideo.size(), 2u);  // the frame and the hold frame
    EXPECT_EQ(media->appendedVideo.back().pts, ms(1000) - MediaTime::make(1, 30));
}

// ---- Unexpected end ----------------------------------------------------------------------

struct UnexpectedCase {
    const char* name;
    MaybeError error;
    bool writeVideo;
    bool holdFails;
    std::string message;
};
void PrintTo(const UnexpectedCase& c, std::ostream* os) {
    *os << c.name;
}

class UnexpectedStopTest : public RecorderTest,
                           public ::testing::WithParamInterface<UnexpectedCase> {};

TEST_P(UnexpectedStopTest, FinishesAndNotifiesOnce) {
    const UnexpectedCase& c = GetParam();
    startDisplay();
    if (c.writeVideo) {
        auto frame = FakeSample::video(ms(0), MediaTime::make(1, 30));
        media->deliver(frame, OutputType::Screen);
        if (c.holdFails) {
            media->videoReady = false;
        }
    }
    at(4.0);
    media->killStream(c.error);
    media->killStream(c.error);  // a second report of the same end is ignored
    queue.drain();
    EXPECT_EQ(notice.calls, 1);
    EXPECT_EQ(notice.message, c.message);
    EXPECT_EQ(notice.wroteVideo, c.writeVideo);
    EXPECT_TRUE(media->files.count(kPath));  // the file stays, even without video
    EXPECT_TRUE(media->hasLogLine(
        "Stream stopped unexpectedly: " +
        (c.error ? c.error->description : std::string("Screen capture stopped unexpectedly"))));
    expectError(stop().error, 4, "Not recording");
    EXPECT_FALSE(startDisplay().error);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnexpectedStopTest,
    ::testing::Values(
        UnexpectedCase{"with_error", kPlatformError, true, false, "platform said no"},
        UnexpectedCase{"without_description", std::nullopt, true, false,
                       "Screen capture stopped unexpectedly"},
        UnexpectedCase{"no_video", std::nullopt, false, false,
                       "Screen capture stopped unexpectedly; ScreenCaptureKit produced zero video "
                       "samples"},
        UnexpectedCase{"hold_fails", kPlatformError, true, true,
                       "platform said no; Could not append final video hold frame"}),
    CaseName);

TEST_F(RecorderTest, UnexpectedEndDuringARequestedStopIsIgnored) {
    startDisplay();
    video(0);
    const StopResult& result = stop(false);
    media->killStream(kPlatformError);
    queue.drain();
    EXPECT_EQ(notice.calls, 0);
    EXPECT_EQ(result.calls, 1);
    EXPECT_EQ(media->finishCalls, 1);
}

TEST_F(RecorderTest, UnexpectedEndWithoutCallbackAndBeforeStart) {
    recorder->setOnStoppedUnexpectedly(nullptr);
    media->killStream(std::nullopt);  // nothing recording: nothing happens
    startDisplay();
    media->killStream(std::nullopt);
    queue.drain();
    EXPECT_EQ(notice.calls, 0);
    EXPECT_EQ(media->finishCalls, 1);
}

// ---- A writer that fails mid-take --------------------------------------------------------

TEST_F(RecorderTest, WriterFailureEndsTheTakeAtTheNextSampleAndIsToldOnce) {
    startDisplay(options(30, false, false, true));
    video(0);
    media->videoReady = false;  // two frames the writer has no room for
    video(33);
    video(66);
    media->videoReady = true;
    const Error full{"FFmpeg", -28, "Cannot write to /tmp/out.mp4: No space left on device"};
    media->writerStatus = WriterStatus::Failed;
    media->writerError = full;
    at(1.0);
    video(1000, 0, false);  // even a sample without a picture notices
    media->deliver(FakeSample::audio(ms(1000), ms(10)), OutputType::Audio);
    EXPECT_EQ(notice.calls, 0);  // the stream stops first, on its own queue
    queue.drain();
    EXPECT_EQ(notice.calls, 1);
    EXPECT_EQ(notice.message, full.description + "; 2 video frames dropped");
    EXPECT_TRUE(notice.wroteVideo);
    EXPECT_EQ(media->stopCaptureCalls, 1);
    EXPECT_TRUE(media->outputs.empty());
    EXPECT_EQ(media->appendedVideo.size(), 1u);
    EXPECT_TRUE(media->files.count(kPath));  // what reached the file stays
    EXPECT_TRUE(media->hasLogLine("Writing failed: " + full.description));
    EXPECT_TRUE(
        media->hasLogLine("Recording ended: 1 video frames written, 2 video frames and "
                          "0 audio buffers dropped because the writer was not ready"));
    expectError(stop().error, 4, "Not recording");
    EXPECT_FALSE(startDisplay().error);
}

TEST_F(RecorderTest, WriterFailureWithoutAnErrorStillSaysWhat) {
    startDisplay();
    media->writerStatus = WriterStatus::Failed;
    video(0);
    queue.drain();
    EXPECT_EQ(notice.message,
              "The recording could not be written; ScreenCaptureKit produced zero video samples");
    EXPECT_FALSE(notice.wroteVideo);
}

// ---- Lifetime ----------------------------------------------------------------------------

TEST_F(RecorderTest, QueuedWorkKeepsTheRecorderAlive) {
    std::weak_ptr<ScreenRecorder> weak = recorder;
    int calls = 0;
    recorder->startRecordingDisplay(kDisplay, kPath, Rect::nullRect(), options(),
                                    [&calls](MaybeError) { ++calls; });
    recorder.reset();
    EXPECT_FALSE(weak.expired());
    queue.drain();
    EXPECT_EQ(calls, 1);
    // Recording now: the stream holds its listener only weakly in the fake, so the last
    // reference goes with the queued work.
    EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace filmstrip

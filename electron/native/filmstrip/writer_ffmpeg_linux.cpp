// The MP4 asset writer on FFmpeg's libraries: H.264 (libx264) or HEVC (libx265) video, AAC
// audio, muxed by libavformat. Appends only queue the sample; one encoding thread per writer
// converts, encodes and muxes, so the capture thread never waits for the encoder. A full
// queue makes the input "not ready", and the recorder then drops the sample.
//
// A movie fragment interval makes a fragmented MP4 (the movie header first, then one fragment
// per interval, each written through to the file when it closes), so a crash loses at most
// the fragment being built. The header waits for the first fragment so that it can carry the
// edit that hides the AAC encoder's priming samples and keeps audio and video in step. Without one,
// "optimize for network use" moves the header to the front when the file is finished.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "linux_sample.h"
#include "media_linux.h"

namespace filmstrip {
namespace {

constexpr const char* kFFmpegDomain = "FFmpeg";
constexpr AVRational kVideoTimeBase = {1, 90000};
// Queued samples per input before it stops being ready: a few frames of video (each frame
// is a full uncompressed image), and five seconds of audio in 10 ms blocks (about 2 MB), room
// for an encoding thread that the machine starves for a while.
constexpr size_t kVideoQueueLimit = 8;
constexpr size_t kAudioQueueLimit = 500;
// Encoder presets that keep up in real time on two cores at 1080p30 (x264 ultrafast encodes
// about 130 fps there, x265 ultrafast about 28 fps).
constexpr const char* kX264Preset = "ultrafast";
constexpr const char* kX265Preset = "ultrafast";
// The largest picture side both encoders take.
constexpr int64_t kMaxPictureSide = 8192;

Error ffmpegError(int code, const std::string& what) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return Error{kFFmpegDomain, code, what + ": " + text};
}

Error cannotCreate(const std::string& path, int code) {
    return Error{kPosixErrorDomain, code, "Cannot create " + path + ": " + std::strerror(code)};
}

// Why a new file cannot be made at `path`, checked before any encoder is opened: it exists
// already, its folder does not exist, or the folder cannot be written to.
MaybeError checkCreatable(const std::string& path) {
    if (access(path.c_str(), F_OK) == 0) {
        return cannotCreate(path, EEXIST);
    }
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    const char* folder = parent.empty() ? "." : parent.c_str();
    struct stat info {};
    const int found = stat(folder, &info) == 0 ? 0 : errno;
    if (found == ENOENT || found == ENOTDIR || (found == 0 && !S_ISDIR(info.st_mode))) {
        std::string message = "Cannot create " + path;
        message.append(": the folder ").append(folder).append(" does not exist");
        return Error{kPosixErrorDomain, ENOENT, std::move(message)};
    }
    if (found != 0) {
        return cannotCreate(path, found);
    }
    if (access(folder, W_OK | X_OK) != 0) {
        return cannotCreate(path, errno);
    }
    return std::nullopt;
}

// `time` on a timeline that starts at `origin`, in units of `timeBase`, rounded to nearest.
int64_t ticksSince(MediaTime time, MediaTime origin, AVRational timeBase) {
    const MediaTime offset = time - origin;
    if (!offset.isNumeric()) {
        return AV_NOPTS_VALUE;
    }
    return av_rescale_rnd(offset.value, timeBase.den,
                          static_cast<int64_t>(offset.timescale) * timeBase.num,
                          static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

class FFmpegWriter;

class FFmpegInput final : public WriterInput {
  public:
    FFmpegInput(FFmpegWriter& writer, bool isVideo, VideoSettings video, AudioSettings audio)
        : writer_(writer), isVideo_(isVideo), video_(std::move(video)), audio_(audio) {}

    void setExpectsMediaDataInRealTime(bool) override {}  // always real time here
    bool isReadyForMoreMediaData() const override;
    bool appendSample(const std::shared_ptr<Sample>& sample) override;
    void markAsFinished() override;

    bool isVideo() const { return isVideo_; }
    const VideoSettings& video() const { return video_; }
    const AudioSettings& audio() const { return audio_; }

    // Encoder state, used only on the encoding thread once writing has started.
    AVStream* stream = nullptr;
    CodecContext codec;
    std::map<int64_t, int64_t> durations;  // video: frame duration by presentation stamp
    int64_t lastPts = AV_NOPTS_VALUE;
    SwsContext* scaler = nullptr;
    AVAudioFifo* fifo = nullptr;
    int64_t fifoPts = AV_NOPTS_VALUE;  // audio: stamp of the first sample in the fifo

    ~FFmpegInput() override {
        sws_freeContext(scaler);
        if (fifo != nullptr) {
            av_audio_fifo_free(fifo);
        }
    }

  private:
    FFmpegWriter& writer_;
    const bool isVideo_;
    const VideoSettings video_;
    const AudioSettings audio_;
};

class FFmpegWriter final : public AssetWriter {
  public:
    FFmpegWriter(std::string path, Executor& completions)
        : path_(std::move(path)), completions_(completions) {}
    ~FFmpegWriter() override;

    void setShouldOptimizeForNetworkUse(bool optimize) override { optimize_ = optimize; }
    void setMovieFragmentInterval(MediaTime interval) override { fragmentInterval_ = interval; }
    std::shared_ptr<WriterInput> makeVideoInput(const VideoSettings& settings) override {
        return std::make_shared<FFmpegInput>(*this, true, settings, AudioSettings{});
    }
    std::shared_ptr<WriterInput> makeAudioInput(const AudioSettings& settings) override {
        return std::make_shared<FFmpegInput>(*this, false, VideoSettings{}, settings);
    }
    bool canAddInput(const std::shared_ptr<WriterInput>& input) override;
    void addInput(const std::shared_ptr<WriterInput>& input) override {
        inputs_.push_back(std::static_pointer_cast<FFmpegInput>(input));
    }
    bool startWriting() override;
    WriterStatus status() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }
    MaybeError error() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }
    void startSession(MediaTime sourceTime) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sessionStart_ = sourceTime;
    }
    void endSession(MediaTime sourceTime) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sessionEnd_ = sourceTime;
    }
    void finishWriting(std::function<void()> completion) override;
    void cancelWriting() override;

    // For the inputs.
    bool isReady(const FFmpegInput& input) const;
    bool enqueue(FFmpegInput& input, const std::shared_ptr<Sample>& sample);
    void markFinished(FFmpegInput& input);

  private:
    struct Job {
        FFmpegInput* input = nullptr;
        std::shared_ptr<Sample> sample;
    };

    MaybeError openEncoder(FFmpegInput& input);
    MaybeError openFile();
    void run();
    void fail(const Error& error);
    MaybeError encode(FFmpegInput& input, const Sample& sample, MediaTime origin, MediaTime end);
    MaybeError encodeVideo(FFmpegInput& input, const VideoFrame& image, const Sample& sample,
                           MediaTime origin);
    MaybeError encodeAudio(FFmpegInput& input, const AudioBlock& block, MediaTime pts,
                           MediaTime origin);
    MaybeError writeSilence(FFmpegInput& input, int64_t samples);
    MaybeError encodeAudioFifo(FFmpegInput& input, bool flushPartial);
    MaybeError sendFrame(FFmpegInput& input, AVFrame* frame);
    MaybeError closeFile();
    // After a failure mid-take: closes the file and cuts off whatever was only partly
    // written, so that it ends with its last whole fragment.
    void keepWholeFragments();
    void stopThread();

    const std::string path_;
    Executor& completions_;
    bool optimize_ = false;
    MediaTime fragmentInterval_;
    std::vector<std::shared_ptr<FFmpegInput>> inputs_;
    AVFormatContext* format_ = nullptr;
    // The file's length after the last packet that reached it whole (each write is flushed
    // through), used only on the encoding thread once writing has started.
    int64_t wholeBytes_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::map<const FFmpegInput*, size_t> queued_;
    std::map<const FFmpegInput*, bool> finished_;
    WriterStatus status_ = WriterStatus::Unknown;
    MaybeError error_;
    MediaTime sessionStart_;
    MediaTime sessionEnd_;
    bool stopRequested_ = false;
    std::function<void()> finishCompletion_;
    bool finishRequested_ = false;
    std::thread thread_;
};

// ---- Inputs

bool FFmpegInput::isReadyForMoreMediaData() const {
    return writer_.isReady(*this);
}
bool FFmpegInput::appendSample(const std::shared_ptr<Sample>& sample) {
    return writer_.enqueue(*this, sample);
}
void FFmpegInput::markAsFinished() {
    writer_.markFinished(*this);
}

// ---- Set-up

bool FFmpegWriter::canAddInput(const std::shared_ptr<WriterInput>& input) {
    auto& candidate = static_cast<FFmpegInput&>(*input);
    if (status() != WriterStatus::Unknown) {
        return false;
    }
    for (const auto& existing : inputs_) {
        if (existing->isVideo() == candidate.isVideo()) {
            return false;  // one track of each kind
        }
    }
    if (candidate.isVideo()) {
        const VideoSettings& video = candidate.video();
        const char* name = video.codec == VideoCodec::HEVC ? "libx265" : "libx264";
        // Both encoders need an even, non-empty 4:2:0 picture of a size they support.
        const auto sideFits = [](int64_t side) {
            return side >= 2 && side <= kMaxPictureSide && side % 2 == 0;
        };
        return avcodec_find_encoder_by_name(name) != nullptr && sideFits(video.width) &&
               sideFits(video.height);
    }
    const AudioSettings& audio = candidate.audio();
    return audio.formatID == kAudioFormatMPEG4AAC && audio.channels == 2 &&
           avcodec_find_encoder(AV_CODEC_ID_AAC) != nullptr;
}

MaybeError FFmpegWriter::openEncoder(FFmpegInput& input) {
    AVDictionary* options = nullptr;
    const AVCodec* encoder = nullptr;
    AVCodecContext* context = nullptr;
    if (input.isVideo()) {
        const VideoSettings& video = input.video();
        const bool hevc = video.codec == VideoCodec::HEVC;
        encoder = avcodec_find_encoder_by_name(hevc ? "libx265" : "libx264");
        context = avcodec_alloc_context3(encoder);
        input.codec.reset(context);
        context->width = static_cast<int>(video.width);
        context->height = static_cast<int>(video.height);
        context->pix_fmt = AV_PIX_FMT_YUV420P;
        context->time_base = kVideoTimeBase;
        context->framerate = {video.expectedSourceFrameRate.value_or(video.captureFrameRate), 1};
        if (video.maxKeyFrameInterval) {
            context->gop_size = *video.maxKeyFrameInterval;
        }
        if (video.averageBitRate) {
            context->bit_rate = *video.averageBitRate;
        }
        if (video.allowFrameReordering == false) {
            context->max_b_frames = 0;
        }
        av_dict_set(&options, "preset", hevc ? kX265Preset : kX264Preset, 0);
        av_dict_set(&options, "profile", hevc ? "main" : "high", 0);
        if (hevc) {
            av_dict_set(&options, "x265-params", "log-level=error", 0);
            context->codec_tag = MKTAG('h', 'v', 'c', '1');  // the tag QuickTime plays
        }
    } else {
        const AudioSettings& audio = input.audio();
        encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
        context = avcodec_alloc_context3(encoder);
        input.codec.reset(context);
        context->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context->sample_rate = static_cast<int>(audio.sampleRate);
        av_channel_layout_default(&context->ch_layout, audio.channels);
        context->bit_rate = audio.bitRate;
        context->time_base = {1, context->sample_rate};
    }
    if (format_->oformat->flags & AVFMT_GLOBALHEADER) {
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    int result = avcodec_open2(context, encoder, &options);
    av_dict_free(&options);
    if (result < 0) {
        return ffmpegError(result, "Cannot open the encoder");
    }
    input.stream = avformat_new_stream(format_, nullptr);
    if (input.stream == nullptr) {
        return ffmpegError(AVERROR(ENOMEM), "Cannot add a track");
    }
    input.stream->time_base = context->time_base;
    result = avcodec_parameters_from_context(input.stream->codecpar, context);
    if (result < 0) {
        return ffmpegError(result, "Cannot describe the track");
    }
    if (!input.isVideo()) {
        input.fifo =
            av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, input.audio().channels, context->frame_size);
    }
    return std::nullopt;
}

MaybeError FFmpegWriter::openFile() {
    // Never write over a file: the path must be new, like the recorder expects of a writer.
    const int descriptor = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        return cannotCreate(path_, errno);
    }
    close(descriptor);
    int result = avio_open(&format_->pb, path_.c_str(), AVIO_FLAG_WRITE);
    if (result < 0) {
        return ffmpegError(result, "Cannot open " + path_);
    }
    AVDictionary* options = nullptr;
    if (fragmentInterval_.isNumeric() && fragmentInterval_ > MediaTime::zero()) {
        av_dict_set(&options, "movflags", "empty_moov+delay_moov+default_base_moof", 0);
        av_dict_set_int(
            &options, "frag_duration",
            av_rescale(fragmentInterval_.value, AV_TIME_BASE, fragmentInterval_.timescale), 0);
        format_->flags |= AVFMT_FLAG_FLUSH_PACKETS;  // each closed fragment reaches the file
    } else if (optimize_) {
        av_dict_set(&options, "movflags", "faststart", 0);
    }
    result = avformat_write_header(format_, &options);
    av_dict_free(&options);
    if (result < 0) {
        return ffmpegError(result, "Cannot write the movie header");
    }
    wholeBytes_ = avio_tell(format_->pb);
    return std::nullopt;
}

bool FFmpegWriter::startWriting() {
    if (status() != WriterStatus::Unknown) {
        return false;
    }
    MaybeError failure;
    if (avformat_alloc_output_context2(&format_, nullptr, "mp4", path_.c_str()) < 0) {
        failure = Error{kFFmpegDomain, AVERROR_MUXER_NOT_FOUND, "No MP4 muxer"};
    }
    for (auto& input : inputs_) {
        if (!failure) {
            failure = openEncoder(*input);
        }
    }
    if (!failure) {
        failure = openFile();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure) {
        status_ = WriterStatus::Failed;
        error_ = failure;
        return false;
    }
    status_ = WriterStatus::Writing;
    thread_ = std::thread([this] { run(); });
    return true;
}

// ---- Intake

bool FFmpegWriter::isReady(const FFmpegInput& input) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto queued = queued_.find(&input);
    const size_t count = queued == queued_.end() ? 0 : queued->second;
    return status_ == WriterStatus::Writing && !finishRequested_ && !finished_.count(&input) &&
           count < (input.isVideo() ? kVideoQueueLimit : kAudioQueueLimit);
}

bool FFmpegWriter::enqueue(FFmpegInput& input, const std::shared_ptr<Sample>& sample) {
    if (!isReady(input) || !dynamic_cast<const LinuxSample*>(sample.get())) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back({&input, sample});
        ++queued_[&input];
    }
    wake_.notify_one();
    return true;
}

void FFmpegWriter::markFinished(FFmpegInput& input) {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_[&input] = true;
}

// ---- Encoding thread

void FFmpegWriter::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopRequested_ || finishRequested_ || !jobs_.empty(); });
        if (stopRequested_) {
            return;
        }
        if (jobs_.empty()) {
            break;  // finishing, and every queued sample is written
        }
        // Audio first: it costs little, and a block that waits behind slow video frames
        // fills the audio queue and is refused, a hole in the sound. Each track keeps its
        // own order; the muxer interleaves them.
        auto next = std::find_if(jobs_.begin(), jobs_.end(),
                                 [](const Job& queued) { return !queued.input->isVideo(); });
        if (next == jobs_.end()) {
            next = jobs_.begin();
        }
        Job job = std::move(*next);
        jobs_.erase(next);
        const MediaTime origin = sessionStart_;
        const MediaTime end = sessionEnd_;
        const bool writing = status_ == WriterStatus::Writing;
        lock.unlock();
        MaybeError failure;
        if (writing) {
            failure = encode(*job.input, *job.sample, origin, end);
        }
        job.sample.reset();
        if (failure) {
            keepWholeFragments();
        }
        lock.lock();
        --queued_[job.input];
        if (failure && status_ == WriterStatus::Writing) {
            status_ = WriterStatus::Failed;
            error_ = failure;
        }
    }
    const bool writing = status_ == WriterStatus::Writing;
    lock.unlock();
    MaybeError failure = writing ? closeFile() : std::nullopt;
    lock.lock();
    if (writing) {
        status_ = failure ? WriterStatus::Failed : WriterStatus::Completed;
        error_ = failure;
    }
    std::function<void()> completion = std::move(finishCompletion_);
    lock.unlock();
    completions_.async(std::move(completion));
}

MaybeError FFmpegWriter::encode(FFmpegInput& input, const Sample& sample, MediaTime origin,
                                MediaTime end) {
    const auto& delivered = static_cast<const LinuxSample&>(sample);
    if (!origin.isValid()) {
        return std::nullopt;  // no session yet: nothing is written
    }
    if (input.isVideo() && delivered.frame()) {
        return encodeVideo(input, *delivered.frame(), sample, origin);
    }
    const MediaTime pts = sample.presentationTimeStamp();
    if (!input.isVideo() && delivered.audio() && !(end.isValid() && pts >= end)) {
        return encodeAudio(input, *delivered.audio(), pts, origin);
    }
    return std::nullopt;
}

MaybeError FFmpegWriter::encodeVideo(FFmpegInput& input, const VideoFrame& image,
                                     const Sample& sample, MediaTime origin) {
    AVCodecContext* context = input.codec.get();
    int64_t pts = ticksSince(sample.presentationTimeStamp(), origin, context->time_base);
    // A picture is stamped before the screen is read, so the first one can be older than a
    // sound block that reached the recorder first and started the session: it is shown from
    // the session start, as a player shows a picture that began before the edit. Otherwise,
    // and on a still screen with no later picture, the video would start at the hold frame.
    if (pts != AV_NOPTS_VALUE && pts < 0 && input.lastPts == AV_NOPTS_VALUE) {
        pts = 0;
    }
    // Other media before the session start, and stamps that do not move forward, are not
    // written.
    if (pts == AV_NOPTS_VALUE || pts < 0 ||
        (input.lastPts != AV_NOPTS_VALUE && pts <= input.lastPts)) {
        return std::nullopt;
    }
    const AVPixelFormat source =
        image.pixelFormat == kPixelFormatBGRA ? AV_PIX_FMT_BGRA : AV_PIX_FMT_NV12;
    input.scaler = sws_getCachedContext(input.scaler, image.width, image.height, source,
                                        context->width, context->height, context->pix_fmt,
                                        SWS_BILINEAR, nullptr, nullptr, nullptr);
    Frame frame(av_frame_alloc());
    if (input.scaler == nullptr || !frame) {
        return ffmpegError(AVERROR(EINVAL), "Cannot convert the frame");
    }
    frame->format = context->pix_fmt;
    frame->width = context->width;
    frame->height = context->height;
    int result = av_frame_get_buffer(frame.get(), 0);
    if (result < 0) {
        return ffmpegError(result, "Cannot convert the frame");
    }
    const uint8_t* planes[2] = {image.plane(0), image.plane(1)};
    sws_scale(input.scaler, planes, image.strides, 0, image.height, frame->data, frame->linesize);
    frame->pts = pts;
    if (image.pixelFormat == kPixelFormat420f) {
        frame->color_range = AVCOL_RANGE_JPEG;
    }
    const MediaTime duration = sample.duration();
    if (duration.isNumeric() && duration > MediaTime::zero()) {
        input.durations[pts] = ticksSince(duration, MediaTime::zero(), context->time_base);
    }
    input.lastPts = pts;
    return sendFrame(input, frame.get());
}

MaybeError FFmpegWriter::encodeAudio(FFmpegInput& input, const AudioBlock& block, MediaTime pts,
                                     MediaTime origin) {
    AVCodecContext* context = input.codec.get();
    const int channels = context->ch_layout.nb_channels;
    if (block.channels != channels || block.sampleRate != context->sample_rate) {
        return std::nullopt;  // not this track's format
    }
    const int64_t start = ticksSince(pts, origin, context->time_base);
    const int count = static_cast<int>(block.interleaved.size()) / channels;
    if (start == AV_NOPTS_VALUE || start < 0 || count == 0) {
        return std::nullopt;
    }
    // Every sample goes at its own stamp: a gap (a pause cut out, dropped blocks) becomes
    // silence, and what overlaps the audio already written is cut off, so later sound is
    // never moved.
    if (input.fifoPts == AV_NOPTS_VALUE) {
        input.fifoPts = start;
    }
    const AudioPlacement place =
        PlaceAudio(input.fifoPts + av_audio_fifo_size(input.fifo), start, count);
    if (MaybeError failure = writeSilence(input, place.silence)) {
        return failure;
    }
    const int kept = count - static_cast<int>(place.skip);
    if (kept == 0) {
        return std::nullopt;
    }
    std::vector<std::vector<float>> planar(static_cast<size_t>(channels),
                                           std::vector<float>(static_cast<size_t>(kept)));
    for (int i = 0; i < kept; ++i) {
        for (int c = 0; c < channels; ++c) {
            planar[static_cast<size_t>(c)][static_cast<size_t>(i)] =
                block.interleaved[static_cast<size_t>((i + place.skip) * channels + c)];
        }
    }
    std::vector<void*> pointers;
    for (auto& plane : planar) {
        pointers.push_back(plane.data());
    }
    if (av_audio_fifo_write(input.fifo, pointers.data(), kept) < kept) {
        return ffmpegError(AVERROR(ENOMEM), "Cannot queue audio");
    }
    return encodeAudioFifo(input, false);
}

// Queues `samples` of silence, an encoder frame at a time, so a long gap costs no memory.
MaybeError FFmpegWriter::writeSilence(FFmpegInput& input, int64_t samples) {
    AVCodecContext* context = input.codec.get();
    const int channels = context->ch_layout.nb_channels;
    std::vector<float> zeros(static_cast<size_t>(context->frame_size));
    std::vector<void*> pointers(static_cast<size_t>(channels), zeros.data());
    while (samples > 0) {
        const int chunk = static_cast<int>(std::min<int64_t>(samples, context->frame_size));
        if (av_audio_fifo_write(input.fifo, pointers.data(), chunk) < chunk) {
            return ffmpegError(AVERROR(ENOMEM), "Cannot queue audio");
        }
        samples -= chunk;
        if (MaybeError failure = encodeAudioFifo(input, false)) {
            return failure;
        }
    }
    return std::nullopt;
}

// Encodes every whole frame in the fifo; with flushPartial, also the rest padded with silence.
MaybeError FFmpegWriter::encodeAudioFifo(FFmpegInput& input, bool flushPartial) {
    AVCodecContext* context = input.codec.get();
    while (av_audio_fifo_size(input.fifo) >= context->frame_size ||
           (flushPartial && av_audio_fifo_size(input.fifo) > 0)) {
        Frame frame(av_frame_alloc());
        frame->format = context->sample_fmt;
        frame->sample_rate = context->sample_rate;
        frame->nb_samples = context->frame_size;
        av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
        int result = av_frame_get_buffer(frame.get(), 0);
        if (result < 0) {
            return ffmpegError(result, "Cannot encode audio");
        }
        av_samples_set_silence(frame->data, 0, frame->nb_samples, frame->ch_layout.nb_channels,
                               context->sample_fmt);
        const int read = av_audio_fifo_read(input.fifo, reinterpret_cast<void**>(frame->data),
                                            context->frame_size);
        frame->pts = input.fifoPts;
        input.fifoPts += read;
        if (MaybeError failure = sendFrame(input, frame.get())) {
            return failure;
        }
    }
    return std::nullopt;
}

// Sends a frame (or, with null, the end of the stream) and writes every packet that results.
MaybeError FFmpegWriter::sendFrame(FFmpegInput& input, AVFrame* frame) {
    AVCodecContext* context = input.codec.get();
    int result = avcodec_send_frame(context, frame);
    if (result < 0) {
        return ffmpegError(result, "Cannot encode");
    }
    Packet packet(av_packet_alloc());
    for (;;) {
        result = avcodec_receive_packet(context, packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            return std::nullopt;
        }
        if (result < 0) {
            return ffmpegError(result, "Cannot encode");
        }
        if (input.isVideo()) {
            if (auto found = input.durations.find(packet->pts); found != input.durations.end()) {
                packet->duration = found->second;
                input.durations.erase(found);
            }
        }
        av_packet_rescale_ts(packet.get(), context->time_base, input.stream->time_base);
        packet->stream_index = input.stream->index;
        result = av_interleaved_write_frame(format_, packet.get());
        if (result < 0) {
            return ffmpegError(result, "Cannot write to " + path_);
        }
        wholeBytes_ = avio_tell(format_->pb);
    }
}

MaybeError FFmpegWriter::closeFile() {
    MaybeError failure;
    for (auto& input : inputs_) {
        if (!input->isVideo() && !failure) {
            failure = encodeAudioFifo(*input, true);
        }
        if (!failure) {
            failure = sendFrame(*input, nullptr);
        }
    }
    const int trailer = av_write_trailer(format_);
    if (!failure && trailer < 0) {
        failure = ffmpegError(trailer, "Cannot finish " + path_);
    }
    const int closed = avio_closep(&format_->pb);
    if (!failure && closed < 0) {
        failure = ffmpegError(closed, "Cannot close " + path_);
    }
    return failure;
}

void FFmpegWriter::keepWholeFragments() {
    if (format_->pb == nullptr) {
        return;
    }
    avio_closep(&format_->pb);
    if (fragmentInterval_.isNumeric() && truncate(path_.c_str(), wholeBytes_) != 0) {
        const int code = errno;
        av_log(nullptr, AV_LOG_ERROR, "Cannot cut %s back to its last fragment: %s\n",
               path_.c_str(), std::strerror(code));
    }
}

void FFmpegWriter::finishWriting(std::function<void()> completion) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (status_ != WriterStatus::Writing || finishRequested_) {
        lock.unlock();
        completions_.async(std::move(completion));
        return;
    }
    finishRequested_ = true;
    finishCompletion_ = std::move(completion);
    lock.unlock();
    wake_.notify_one();
}

void FFmpegWriter::stopThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void FFmpegWriter::cancelWriting() {
    stopThread();
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_ == WriterStatus::Writing) {
        status_ = WriterStatus::Cancelled;
        jobs_.clear();
        if (format_ != nullptr) {
            avio_closep(&format_->pb);
        }
    }
}

FFmpegWriter::~FFmpegWriter() {
    bool writing = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        writing = status_ == WriterStatus::Writing && !finishRequested_;
    }
    stopThread();
    // A writer dropped while writing still closes its file, so what was written stays
    // playable.
    if (writing) {
        closeFile();
    }
    for (auto& input : inputs_) {
        input->codec.reset();
    }
    if (format_ != nullptr) {
        avio_closep(&format_->pb);
        avformat_free_context(format_);
    }
}

}  // namespace

AudioPlacement PlaceAudio(int64_t expected, int64_t start, int64_t count) {
    if (start >= expected) {
        return {start - expected, 0};
    }
    return {0, std::min(count, expected - start)};
}

WriterResult MakeFFmpegWriter(const std::string& path, Executor& completions) {
    // Encoder chatter stays out of the host's standard error; failures come back as errors.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
    if (MaybeError error = checkCreatable(path)) {
        return {nullptr, error};
    }
    return {std::make_shared<FFmpegWriter>(path, completions), std::nullopt};
}

}  // namespace filmstrip

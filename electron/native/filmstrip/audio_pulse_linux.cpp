#include "audio_pulse_linux.h"

#include <pulse/pulseaudio.h>
#include <pulse/rtclock.h>

#include <cstring>
#include <optional>

namespace filmstrip {
namespace {

// The recording source that follows the default sink, whichever it is.
constexpr const char* kDefaultMonitor = "@DEFAULT_MONITOR@";
constexpr const char* kClientName = "filmstrip";
constexpr const char* kStreamName = "System audio";
// Blocks of about 10 ms.
constexpr pa_usec_t kFragmentMicroseconds = 10'000;
// How far a block may be heard from the end of the previous one and still be stamped right
// after it: well under a frame of a 30 fps picture.
constexpr int32_t kJitterToleranceMilliseconds = 15;
// The longest a start waits for the monitor's first sound.
constexpr pa_usec_t kFirstSoundWaitMicroseconds = 3'000'000;
constexpr const char* kMessageServerLost = "System audio stopped: the audio server went away (";

Error pulseError(int code) {
    return Error{kPulseAudioDomain, code, pa_strerror(code)};
}

}  // namespace

MediaTime AudioTimeline::stamp(MediaTime heard, int64_t frames) {
    MediaTime start = heard;
    if (next_.isNumeric()) {
        const MediaTime tolerance = MediaTime::make(kJitterToleranceMilliseconds, 1000);
        const MediaTime drift = heard - next_;
        if (drift <= tolerance && drift >= -tolerance) {
            start = next_;
        }
    }
    next_ = start + MediaTime::make(frames, sampleRate_);
    return start;
}

// The threaded main loop, the context and the record stream; every field after `loop` is
// used only with the loop's lock held (callbacks run with it held).
struct PulseAudioCapture::Connection {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_sample_spec spec{};
    Clock clock;
    Deliver deliver;
    Lost lost;
    std::optional<AudioTimeline> timeline;
    bool soundFlows = false;

    ~Connection() {
        if (loop == nullptr) {
            return;
        }
        pa_threaded_mainloop_lock(loop);
        if (stream != nullptr) {
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);
            pa_stream_unref(stream);
        }
        if (context != nullptr) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    static void signal(pa_context*, void* self) { static_cast<Connection*>(self)->stateChanged(); }
    static void signalStream(pa_stream*, void* self) {
        static_cast<Connection*>(self)->stateChanged();
    }

    // Wakes whoever waits for a state; once recording, a context or stream that failed or
    // ended is reported as lost, once.
    void stateChanged() {
        pa_threaded_mainloop_signal(loop, 0);
        if (!lost) {
            return;
        }
        const bool contextGood = PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
        const bool streamGood = stream != nullptr && PA_STREAM_IS_GOOD(pa_stream_get_state(stream));
        if (!contextGood || !streamGood) {
            const int code = pa_context_errno(context);
            const Lost report = std::move(lost);
            lost = nullptr;
            deliver = nullptr;
            report(Error{kPulseAudioDomain, code,
                         std::string(kMessageServerLost) + pa_strerror(code) + ")"});
        }
    }
    static void readable(pa_stream*, size_t, void* self) {
        static_cast<Connection*>(self)->drain();
    }

    enum class Readiness { Waiting, Ready, Failed };

    // Waits (lock held, woken by the state callbacks) until `readiness` settles; the
    // context's error when it failed.
    template <typename Check>
    MaybeError waitUntilReady(Check readiness) {
        for (;;) {
            switch (readiness()) {
                case Readiness::Ready:
                    return std::nullopt;
                case Readiness::Failed:
                    return pulseError(pa_context_errno(context));
                case Readiness::Waiting:
                    pa_threaded_mainloop_wait(loop);
                    break;
            }
        }
    }

    // Connects to the server and waits (lock held) until the context is ready.
    MaybeError connectContext() {
        pa_context_set_state_callback(context, &Connection::signal, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            return pulseError(pa_context_errno(context));
        }
        return waitUntilReady([this] {
            const pa_context_state_t state = pa_context_get_state(context);
            return state == PA_CONTEXT_READY   ? Readiness::Ready
                   : PA_CONTEXT_IS_GOOD(state) ? Readiness::Waiting
                                               : Readiness::Failed;
        });
    }

    // Opens the corked recording of the default monitor and waits (lock held) until it is.
    MaybeError connectStream(int channels) {
        pa_channel_map map;
        if (pa_channel_map_init_auto(&map, static_cast<unsigned>(channels),
                                     PA_CHANNEL_MAP_DEFAULT) == nullptr) {
            return pulseError(PA_ERR_INVALID);
        }
        stream = pa_stream_new(context, kStreamName, &spec, &map);
        if (stream == nullptr) {
            return pulseError(pa_context_errno(context));
        }
        pa_stream_set_state_callback(stream, &Connection::signalStream, this);
        pa_stream_set_read_callback(stream, &Connection::readable, this);
        pa_buffer_attr attributes;
        std::memset(&attributes, 0xff, sizeof attributes);  // (uint32_t)-1: the server's choice
        attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentMicroseconds, &spec));
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_START_CORKED | PA_STREAM_AUTO_TIMING_UPDATE);
        if (pa_stream_connect_record(stream, kDefaultMonitor, &attributes, flags) < 0) {
            return pulseError(pa_context_errno(context));
        }
        return waitUntilReady([this] {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            return state == PA_STREAM_READY   ? Readiness::Ready
                   : PA_STREAM_IS_GOOD(state) ? Readiness::Waiting
                                              : Readiness::Failed;
        });
    }

    // When the first frame of the next fragment to read was heard. The server's last timing
    // report says which byte it had captured at its time stamp (`write_index`, `source_usec`
    // before it) and, for a monitor, how long the sink still takes to play it (`sink_usec`);
    // the fragment lies as far before that byte as the stream's read index is behind it.
    // Before any report, the fragment is taken to end now.
    MediaTime heardAt(int64_t frames) {
        const MediaTime now = clock();
        const pa_timing_info* timing = pa_stream_get_timing_info(stream);
        if (timing == nullptr || timing->write_index_corrupt || timing->read_index_corrupt) {
            return now - MediaTime::make(frames, static_cast<int32_t>(spec.rate));
        }
        const auto age = static_cast<int64_t>(pa_timeval_age(&timing->timestamp));
        const int64_t behind =
            (timing->write_index - timing->read_index) / static_cast<int64_t>(pa_frame_size(&spec));
        const MediaTime captured =
            now - MediaTime::make(age + static_cast<int64_t>(timing->source_usec), 1'000'000) -
            MediaTime::make(behind, static_cast<int32_t>(spec.rate));
        return captured + MediaTime::make(static_cast<int64_t>(timing->sink_usec), 1'000'000);
    }

    // Hands every readable fragment on (loop thread, lock held).
    void drain() {
        const size_t frameBytes = pa_frame_size(&spec);
        for (;;) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
                return;
            }
            const auto frames = static_cast<int64_t>(bytes / frameBytes);
            const MediaTime start = timeline->stamp(heardAt(frames), frames);
            if (!soundFlows) {
                soundFlows = true;
                pa_threaded_mainloop_signal(loop, 0);
            }
            // A hole (no data) leaves a gap in the track; the next block starts after it.
            if (data != nullptr && deliver && frames > 0) {
                auto block = std::make_shared<AudioBlock>();
                block->sampleRate = static_cast<int>(spec.rate);
                block->channels = spec.channels;
                const auto* samples = static_cast<const float*>(data);
                block->interleaved.assign(samples, samples + frames * spec.channels);
                deliver(std::move(block), start);
            }
            pa_stream_drop(stream);
        }
    }
};

std::variant<std::unique_ptr<PulseAudioCapture>, Error> PulseAudioCapture::open(int sampleRate,
                                                                                int channels,
                                                                                Clock clock) {
    auto connection = std::make_unique<Connection>();
    connection->spec = {PA_SAMPLE_FLOAT32LE, static_cast<uint32_t>(sampleRate),
                        static_cast<uint8_t>(channels)};
    connection->clock = std::move(clock);
    connection->timeline.emplace(sampleRate);
    if (!pa_sample_spec_valid(&connection->spec)) {
        return pulseError(PA_ERR_INVALID);
    }
    connection->loop = pa_threaded_mainloop_new();
    if (connection->loop == nullptr) {
        return pulseError(PA_ERR_INTERNAL);
    }
    connection->context =
        pa_context_new(pa_threaded_mainloop_get_api(connection->loop), kClientName);
    if (connection->context == nullptr || pa_threaded_mainloop_start(connection->loop) < 0) {
        return pulseError(PA_ERR_INTERNAL);
    }
    pa_threaded_mainloop_lock(connection->loop);
    MaybeError error = connection->connectContext();
    if (!error) {
        error = connection->connectStream(channels);
    }
    pa_threaded_mainloop_unlock(connection->loop);
    if (error) {
        return *error;
    }
    return std::unique_ptr<PulseAudioCapture>(new PulseAudioCapture(std::move(connection)));
}

PulseAudioCapture::PulseAudioCapture(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

PulseAudioCapture::~PulseAudioCapture() = default;

namespace {

// Wakes a start that waits for the first sound once its time is up.
void firstSoundTimedOut(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* loop) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
}

}  // namespace

void PulseAudioCapture::start(Deliver deliver, Lost lost) {
    Connection& c = *connection_;
    pa_threaded_mainloop_lock(c.loop);
    pa_operation* uncork = pa_stream_cork(c.stream, 0, nullptr, nullptr);
    if (uncork != nullptr) {
        pa_operation_unref(uncork);
    }
    // Timed on the server connection's own clock; what arrives meanwhile precedes the take.
    const pa_usec_t deadline = pa_rtclock_now() + kFirstSoundWaitMicroseconds;
    pa_time_event* timer = pa_context_rttime_new(c.context, deadline, &firstSoundTimedOut, c.loop);
    while (!c.soundFlows && pa_rtclock_now() < deadline &&
           PA_STREAM_IS_GOOD(pa_stream_get_state(c.stream))) {
        pa_threaded_mainloop_wait(c.loop);
    }
    if (timer != nullptr) {
        pa_threaded_mainloop_get_api(c.loop)->time_free(timer);
    }
    c.deliver = std::move(deliver);
    c.lost = std::move(lost);
    c.stateChanged();  // a recording lost while waiting is reported now
    pa_threaded_mainloop_unlock(c.loop);
}

}  // namespace filmstrip

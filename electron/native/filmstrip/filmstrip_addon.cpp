// The filmstrip plug-in: the JavaScript class NativeScreenRecorder over one ScreenRecorder.
// Every recording operation runs on the main queue; every result comes back to the
// JavaScript thread through a thread-safe function as an error-first callback.
#include <napi.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "screen_recorder.h"

namespace filmstrip {
namespace {

constexpr const char* kExpectedDisplayArguments =
    "Expected (displayID, outputPath, rect | null, options, callback)";
constexpr const char* kExpectedWindowArguments =
    "Expected (windowID, outputPath, options, callback)";
constexpr const char* kExpectedOptions = "Expected capture options";
constexpr const char* kExpectedFramerate = "Expected a positive framerate";
constexpr const char* kExpectedBoolean = "Expected boolean ";
constexpr const char* kExpectedCallback = "Expected callback function";
constexpr const char* kCleanupFailed = "Could not register recorder cleanup";

// A plain Error with the description as its message, and the failure's code and domain as
// its `code` and `domain` properties, so that callers can tell failures apart without
// parsing text.
Napi::Value ErrorValue(Napi::Env env, const MaybeError& error) {
    if (!error) {
        return env.Null();
    }
    Napi::Error value = Napi::Error::New(env, error->description);
    value.Set("code", Napi::Number::New(env, static_cast<double>(error->code)));
    value.Set("domain", Napi::String::New(env, error->domain));
    return value.Value();
}

// A rectangle property as a double; a missing or non-number property throws a plain Error
// carrying the Node-API status message.
double ReadRectProperty(Napi::Env env, const Napi::Object& rect, const char* key) {
    const Napi::Value value = rect.Get(key);
    double result = 0;
    if (napi_get_value_double(env, value, &result) != napi_ok) {
        const napi_extended_error_info* info = nullptr;
        napi_get_last_error_info(env, &info);
        throw Napi::Error::New(env, info->error_message);
    }
    return result;
}

CaptureOptions ReadCaptureOptions(Napi::Env env, Napi::Value value) {
    if (!value.IsObject()) {
        throw Napi::TypeError::New(env, kExpectedOptions);
    }
    const Napi::Object object = value.As<Napi::Object>();
    CaptureOptions options;
    const Napi::Value framerate = object.Get("framerate");
    if (!framerate.IsNumber() || framerate.As<Napi::Number>().Int32Value() <= 0) {
        throw Napi::TypeError::New(env, kExpectedFramerate);
    }
    options.framerate = framerate.As<Napi::Number>().Int32Value();
    for (auto [key, field] : {std::pair{"lowMemoryEncoder", &options.lowMemoryEncoder},
                              std::pair{"hevcEncoder", &options.hevcEncoder},
                              std::pair{"systemAudio", &options.systemAudio}}) {
        const Napi::Value flag = object.Get(key);
        if (!flag.IsBoolean()) {
            throw Napi::TypeError::New(env, std::string(kExpectedBoolean) + key);
        }
        *field = flag.As<Napi::Boolean>().Value();
    }
    return options;
}

Napi::ThreadSafeFunction MakeCallbackTsfn(Napi::Env env, const Napi::Value& callback,
                                          const char* name) {
    if (!callback.IsFunction()) {
        throw Napi::TypeError::New(env, kExpectedCallback);
    }
    return Napi::ThreadSafeFunction::New(env, callback.As<Napi::Function>(), name, 0, 1);
}

// A single-use thread-safe function: queues one call carrying `data` (blocking or not), then
// releases itself. A call that cannot be queued is dropped with its data.
template <typename Data, typename Deliver>
void CallOnceAndRelease(Napi::ThreadSafeFunction tsfn, bool blocking, Data data, Deliver deliver) {
    auto* carried = new Data(std::move(data));
    auto call = [deliver](Napi::Env env, Napi::Function callback, Data* payload) {
        std::unique_ptr<Data> owned(payload);
        if (env != nullptr && callback != nullptr) {
            deliver(env, callback, *owned);
        }
    };
    const napi_status status =
        blocking ? tsfn.BlockingCall(carried, call) : tsfn.NonBlockingCall(carried, call);
    if (status != napi_ok) {
        delete carried;
    }
    tsfn.Release();
}

ScreenRecorder::StartCompletion StartCompletion(Napi::Env env, const Napi::Value& callback,
                                                const char* name) {
    Napi::ThreadSafeFunction tsfn = MakeCallbackTsfn(env, callback, name);
    return [tsfn](MaybeError error) {
        CallOnceAndRelease(tsfn, true, std::move(error),
                           [](Napi::Env jsEnv, Napi::Function js, const MaybeError& result) {
                               js.Call({ErrorValue(jsEnv, result)});
                           });
    };
}

struct StopResult {
    std::string path;
    MaybeError error;
};

struct StreamStopped {
    std::string message;
    std::string outputPath;
    bool wroteVideo = false;
};

class NativeScreenRecorder final : public Napi::ObjectWrap<NativeScreenRecorder> {
  public:
    static Napi::Object Init(Napi::Env env, Napi::Object exports);

    explicit NativeScreenRecorder(const Napi::CallbackInfo& info)
        : Napi::ObjectWrap<NativeScreenRecorder>(info),
          recorder(ScreenRecorder::create(PlatformMedia())),
          environment_(info.Env()) {
        if (napi_add_env_cleanup_hook(environment_, CleanupEnvironment, this) != napi_ok) {
            environment_ = nullptr;
            throw Napi::Error::New(info.Env(), kCleanupFailed);
        }
    }

    ~NativeScreenRecorder() override {
        if (environment_ != nullptr) {
            napi_remove_env_cleanup_hook(environment_, CleanupEnvironment, this);
        }
        ClearStreamStoppedCallback();
    }

  private:
    Napi::Value StartRecordingDisplay(const Napi::CallbackInfo& info);
    Napi::Value StartRecordingWindow(const Napi::CallbackInfo& info);
    Napi::Value StopRecording(const Napi::CallbackInfo& info);
    Napi::Value PauseRecording(const Napi::CallbackInfo& info);
    Napi::Value ResumeRecording(const Napi::CallbackInfo& info);
    Napi::Value SetStreamStoppedCallback(const Napi::CallbackInfo& info);
    // Pause and resume: the recorder call on the main queue, then `null` to the callback.
    Napi::Value QueueAndAcknowledge(const Napi::CallbackInfo& info, const char* name,
                                    void (ScreenRecorder::*operation)());

    void ClearStreamStoppedCallback();
    static void CleanupEnvironment(void* data);

    const std::shared_ptr<ScreenRecorder> recorder;
    napi_env environment_;
    Napi::ThreadSafeFunction streamStoppedTsfn_;
    bool hasStreamStoppedTsfn_ = false;
};

Napi::Object NativeScreenRecorder::Init(Napi::Env env, Napi::Object exports) {
    Napi::Function constructor = DefineClass(
        env, "NativeScreenRecorder",
        {InstanceMethod<&NativeScreenRecorder::StartRecordingDisplay>("startRecordingDisplay"),
         InstanceMethod<&NativeScreenRecorder::StartRecordingWindow>("startRecordingWindow"),
         InstanceMethod<&NativeScreenRecorder::StopRecording>("stopRecording"),
         InstanceMethod<&NativeScreenRecorder::PauseRecording>("pauseRecording"),
         InstanceMethod<&NativeScreenRecorder::ResumeRecording>("resumeRecording"),
         InstanceMethod<&NativeScreenRecorder::SetStreamStoppedCallback>(
             "setStreamStoppedCallback")});
    auto* reference = new Napi::FunctionReference(Napi::Persistent(constructor));
    env.SetInstanceData<Napi::FunctionReference>(reference);
    exports.Set("NativeScreenRecorder", constructor);
    return exports;
}

Napi::Value NativeScreenRecorder::StartRecordingDisplay(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() != 5 || !info[0].IsNumber() || !info[1].IsString() ||
        !(info[2].IsNull() || info[2].IsObject())) {
        throw Napi::TypeError::New(env, kExpectedDisplayArguments);
    }
    const uint32_t displayID = info[0].As<Napi::Number>().Uint32Value();
    std::string outputPath = info[1].As<Napi::String>().Utf8Value();
    Rect rect = Rect::nullRect();
    if (info[2].IsObject()) {
        const Napi::Object object = info[2].As<Napi::Object>();
        const double x = ReadRectProperty(env, object, "x");
        const double y = ReadRectProperty(env, object, "y");
        const double width = ReadRectProperty(env, object, "width");
        const double height = ReadRectProperty(env, object, "height");
        rect = Rect{x, y, width, height, false};
    }
    const CaptureOptions options = ReadCaptureOptions(env, info[3]);
    auto completion = StartCompletion(env, info[4], "StartRecordingDisplayCallback");
    MainQueue().async([recorder = recorder, displayID, outputPath = std::move(outputPath), rect,
                       options, completion = std::move(completion)] {
        recorder->startRecordingDisplay(displayID, outputPath, rect, options, completion);
    });
    return env.Undefined();
}

Napi::Value NativeScreenRecorder::StartRecordingWindow(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (info.Length() != 4 || !info[0].IsNumber() || !info[1].IsString()) {
        throw Napi::TypeError::New(env, kExpectedWindowArguments);
    }
    const uint32_t windowID = info[0].As<Napi::Number>().Uint32Value();
    std::string outputPath = info[1].As<Napi::String>().Utf8Value();
    const CaptureOptions options = ReadCaptureOptions(env, info[2]);
    auto completion = StartCompletion(env, info[3], "StartRecordingWindowCallback");
    MainQueue().async([recorder = recorder, windowID, outputPath = std::move(outputPath), options,
                       completion = std::move(completion)] {
        recorder->startRecordingWindow(windowID, outputPath, options, completion);
    });
    return env.Undefined();
}

Napi::Value NativeScreenRecorder::StopRecording(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    Napi::ThreadSafeFunction tsfn = MakeCallbackTsfn(env, info[0], "StopRecordingCallback");
    MainQueue().async([recorder = recorder, tsfn] {
        recorder->stopRecording([tsfn](std::optional<std::string> path, MaybeError error) {
            CallOnceAndRelease(
                tsfn, true, StopResult{path.value_or(std::string()), std::move(error)},
                [](Napi::Env jsEnv, Napi::Function js, const StopResult& result) {
                    if (result.error) {
                        js.Call({ErrorValue(jsEnv, result.error), jsEnv.Null()});
                    } else if (!result.path.empty()) {
                        js.Call({jsEnv.Null(), Napi::String::New(jsEnv, result.path)});
                    } else {
                        js.Call({jsEnv.Null(), jsEnv.Null()});
                    }
                });
        });
    });
    return env.Undefined();
}

Napi::Value NativeScreenRecorder::QueueAndAcknowledge(const Napi::CallbackInfo& info,
                                                      const char* name,
                                                      void (ScreenRecorder::*operation)()) {
    Napi::Env env = info.Env();
    Napi::ThreadSafeFunction tsfn = MakeCallbackTsfn(env, info[0], name);
    MainQueue().async([recorder = recorder, tsfn, operation] {
        ((*recorder).*operation)();
        CallOnceAndRelease(tsfn, false, 0, [](Napi::Env jsEnv, Napi::Function js, int) {
            js.Call({jsEnv.Null()});
        });
    });
    return env.Undefined();
}

Napi::Value NativeScreenRecorder::PauseRecording(const Napi::CallbackInfo& info) {
    return QueueAndAcknowledge(info, "PauseRecordingCallback", &ScreenRecorder::pauseRecording);
}

Napi::Value NativeScreenRecorder::ResumeRecording(const Napi::CallbackInfo& info) {
    return QueueAndAcknowledge(info, "ResumeRecordingCallback", &ScreenRecorder::resumeRecording);
}

Napi::Value NativeScreenRecorder::SetStreamStoppedCallback(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    if (!info[0].IsFunction()) {
        throw Napi::TypeError::New(env, kExpectedCallback);
    }
    std::lock_guard<std::recursive_mutex> lock(recorder->monitor());
    ClearStreamStoppedCallback();
    streamStoppedTsfn_ = Napi::ThreadSafeFunction::New(env, info[0].As<Napi::Function>(),
                                                       "StreamStoppedCallback", 0, 1);
    // A listener alone does not keep the process running.
    streamStoppedTsfn_.Unref(env);
    hasStreamStoppedTsfn_ = true;
    // Called by the recorder only while it holds the monitor lock, which the clear also
    // takes: the bridge never runs after this object has let go of its function.
    recorder->setOnStoppedUnexpectedly([this](const std::string& message, bool wroteVideo) {
        auto* carried = new StreamStopped{message, recorder->outputPath(), wroteVideo};
        const napi_status status = streamStoppedTsfn_.NonBlockingCall(
            carried, [](Napi::Env jsEnv, Napi::Function js, StreamStopped* payload) {
                std::unique_ptr<StreamStopped> owned(payload);
                if (jsEnv != nullptr && js != nullptr) {
                    js.Call({Napi::String::New(jsEnv, owned->message),
                             Napi::String::New(jsEnv, owned->outputPath),
                             Napi::Boolean::New(jsEnv, owned->wroteVideo)});
                }
            });
        if (status != napi_ok) {
            delete carried;
        }
    });
    return env.Undefined();
}

void NativeScreenRecorder::ClearStreamStoppedCallback() {
    std::lock_guard<std::recursive_mutex> lock(recorder->monitor());
    recorder->setOnStoppedUnexpectedly(nullptr);
    if (hasStreamStoppedTsfn_) {
        hasStreamStoppedTsfn_ = false;
        streamStoppedTsfn_.Release();
        streamStoppedTsfn_ = Napi::ThreadSafeFunction();
    }
}

void NativeScreenRecorder::CleanupEnvironment(void* data) {
    auto* self = static_cast<NativeScreenRecorder*>(data);
    self->environment_ = nullptr;
    self->ClearStreamStoppedCallback();
}

}  // namespace
}  // namespace filmstrip

static Napi::Object InitFilmstrip(Napi::Env env, Napi::Object exports) {
    return filmstrip::NativeScreenRecorder::Init(env, exports);
}

NODE_API_MODULE(filmstrip, InitFilmstrip)

// The backdrop plug-in's JavaScript face: argument checks, the handle buffer and the rect
// list, over the Backdrop core.
#include <napi.h>

#include <cstring>
#include <memory>

#include "backdrop_core.h"

namespace backdrop {
namespace {

constexpr const char* kInitializeSignature = "initializeBackdrop(handleBuffer)";
constexpr const char* kUpdateSignature = "updateGlassRects(handleBuffer, rectsArray)";
constexpr const char* kRemoveSignature = "removeAllBackdrops(handleBuffer)";
constexpr const char* kUnresolvedView = "Failed to resolve Electron NSView from handle buffer";

// Per JavaScript environment.
struct Module {
    std::shared_ptr<Backdrop> backdrop = std::make_shared<Backdrop>(MakeViewSystem());
};

Backdrop& TheBackdrop(const Napi::CallbackInfo& info) {
    return *info.Env().GetInstanceData<Module>()->backdrop;
}

// The root view whose address the buffer's first 8 bytes hold; 0 for anything else,
// including a buffer too short to hold an address, which is never read past its end.
ViewRef ElectronNSViewFromHandleBuffer(const Napi::Value& value) {
    if (!value.IsBuffer()) {
        return 0;
    }
    auto buffer = value.As<Napi::Buffer<uint8_t>>();
    uint64_t address = 0;
    if (buffer.Length() < sizeof address) {
        return 0;
    }
    std::memcpy(&address, buffer.Data(), sizeof address);
    return static_cast<ViewRef>(address);
}

std::string GetString(const Napi::Object& object, const char* key) {
    Napi::Value value = object.Get(key);
    return value.IsString() ? value.As<Napi::String>().Utf8Value() : std::string();
}

double GetNumber(const Napi::Object& object, const char* key, double fallback) {
    Napi::Value value = object.Get(key);
    return value.IsNumber() ? value.As<Napi::Number>().DoubleValue() : fallback;
}

class JsRectSource : public GlassRectSource {
  public:
    explicit JsRectSource(Napi::Array array) : array_(array) {}
    uint32_t length() override { return array_.Length(); }
    bool select(uint32_t index) override {
        Napi::Value element = array_.Get(index);
        if (!element.IsObject()) {
            return false;
        }
        current_ = element.As<Napi::Object>();
        return true;
    }
    std::string id() override { return GetString(current_, "id"); }
    GlassRect rect() override {
        GlassRect rect;
        rect.x = GetNumber(current_, "x", 0);
        rect.y = GetNumber(current_, "y", 0);
        rect.width = GetNumber(current_, "width", 0);
        rect.height = GetNumber(current_, "height", 0);
        rect.cornerRadius = GetNumber(current_, "cornerRadius", kDefaultCornerRadius);
        rect.tintColor = GetString(current_, "tintColor");
        return rect;
    }

  private:
    Napi::Array array_;
    Napi::Object current_;
};

void CheckBuffer(const Napi::CallbackInfo& info, const char* signature) {
    if (info.Length() < 1 || !info[0].IsBuffer()) {
        throw Napi::TypeError::New(info.Env(), signature);
    }
}

Napi::Value InitializeBackdrop(const Napi::CallbackInfo& info) {
    CheckBuffer(info, kInitializeSignature);
    Backdrop& backdrop = TheBackdrop(info);
    if (!backdrop.IsBackdropSupported()) {
        return Napi::Boolean::New(info.Env(), false);
    }
    const ViewRef view = ElectronNSViewFromHandleBuffer(info[0]);
    if (view == 0) {
        throw Napi::Error::New(info.Env(), kUnresolvedView);
    }
    backdrop.EnsureWindowState(view);
    return Napi::Boolean::New(info.Env(), true);
}

Napi::Value UpdateGlassRects(const Napi::CallbackInfo& info) {
    if (info.Length() < 2 || !info[0].IsBuffer() || !info[1].IsArray()) {
        throw Napi::TypeError::New(info.Env(), kUpdateSignature);
    }
    Backdrop& backdrop = TheBackdrop(info);
    const ViewRef view =
        backdrop.IsBackdropSupported() ? ElectronNSViewFromHandleBuffer(info[0]) : 0;
    if (view == 0) {
        return Napi::Boolean::New(info.Env(), false);
    }
    JsRectSource rects(info[1].As<Napi::Array>());
    backdrop.UpdateGlassRects(view, rects);
    return Napi::Boolean::New(info.Env(), true);
}

Napi::Value RemoveAllBackdrops(const Napi::CallbackInfo& info) {
    CheckBuffer(info, kRemoveSignature);
    const ViewRef view = ElectronNSViewFromHandleBuffer(info[0]);
    if (view == 0) {
        return Napi::Boolean::New(info.Env(), false);
    }
    TheBackdrop(info).RemoveAllBackdrops(view);
    return Napi::Boolean::New(info.Env(), true);
}

}  // namespace
}  // namespace backdrop

namespace {

Napi::Object Init(Napi::Env env, Napi::Object exports) {
    using namespace backdrop;
    env.SetInstanceData(new Module());
    exports.Set("initializeBackdrop", Napi::Function::New(env, InitializeBackdrop));
    exports.Set("updateGlassRects", Napi::Function::New(env, UpdateGlassRects));
    exports.Set("removeAllBackdrops", Napi::Function::New(env, RemoveAllBackdrops));
    return exports;
}

}  // namespace

NODE_API_MODULE(backdrop, Init)

// The desktop_info plug-in's JavaScript face: six synchronous functions over DesktopInfo.
#include <napi.h>

#include <memory>

#include "desktop_info_core.h"

namespace desktop_info {
namespace {

// Per JavaScript environment: the platform and the core that keeps the quiet period.
struct Module {
    std::unique_ptr<DesktopInfoPlatform> platform = MakeDesktopInfoPlatform();
    DesktopInfo info{*platform};
};

DesktopInfo& Info(const Napi::CallbackInfo& info) {
    return info.Env().GetInstanceData<Module>()->info;
}

Napi::Array GetWindowList(const Napi::CallbackInfo& info) {
    Napi::Env env = info.Env();
    Napi::Array result = Napi::Array::New(env);
    uint32_t index = 0;
    for (const WindowRecord& window : Info(info).GetWindowList()) {
        Napi::Object record = Napi::Object::New(env);
        record.Set("windowId", Napi::Number::New(env, window.windowId));
        record.Set("name", Napi::String::New(env, window.name));
        record.Set("ownerName", Napi::String::New(env, window.ownerName));
        record.Set("x", Napi::Number::New(env, window.x));
        record.Set("y", Napi::Number::New(env, window.y));
        record.Set("width", Napi::Number::New(env, window.width));
        record.Set("height", Napi::Number::New(env, window.height));
        result.Set(index++, record);
    }
    return result;
}

Napi::String GetCurrentCursorType(const Napi::CallbackInfo& info) {
    return Napi::String::New(info.Env(), Info(info).GetCurrentCursorType());
}

Napi::Boolean CheckAccessibilityPermissions(const Napi::CallbackInfo& info) {
    return Napi::Boolean::New(info.Env(), Info(info).HasAccessibilityPermissions());
}

Napi::Boolean RequestAccessibilityPermissionsAPI(const Napi::CallbackInfo& info) {
    return Napi::Boolean::New(info.Env(), Info(info).RequestAccessibilityPermissions());
}

Napi::Boolean CheckInputMonitoringPermissions(const Napi::CallbackInfo& info) {
    return Napi::Boolean::New(info.Env(), Info(info).HasInputMonitoringPermissions());
}

Napi::Boolean RequestInputMonitoringPermissionsAPI(const Napi::CallbackInfo& info) {
    return Napi::Boolean::New(info.Env(), Info(info).RequestInputMonitoringPermissions());
}

}  // namespace
}  // namespace desktop_info

namespace {

Napi::Object Init(Napi::Env env, Napi::Object exports) {
    using namespace desktop_info;
    env.SetInstanceData(new Module());
    exports.Set("getWindowList", Napi::Function::New(env, GetWindowList));
    exports.Set("getCurrentCursorType", Napi::Function::New(env, GetCurrentCursorType));
    exports.Set("hasAccessibilityPermissions",
                Napi::Function::New(env, CheckAccessibilityPermissions));
    exports.Set("requestAccessibilityPermissions",
                Napi::Function::New(env, RequestAccessibilityPermissionsAPI));
    exports.Set("hasInputMonitoringPermissions",
                Napi::Function::New(env, CheckInputMonitoringPermissions));
    exports.Set("requestInputMonitoringPermissions",
                Napi::Function::New(env, RequestInputMonitoringPermissionsAPI));
    return exports;
}

}  // namespace

NODE_API_MODULE(desktop_info, Init)

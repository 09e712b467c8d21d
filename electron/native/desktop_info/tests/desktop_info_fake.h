// A scriptable desktop-info platform: tests set what each query answers and read back
// which queries were made.
#pragma once

#include <string>
#include <vector>

#include "desktop_info_platform.h"

namespace desktop_info::testing {

class FakeElement : public AxElement {};

class FakeDesktopInfoPlatform : public DesktopInfoPlatform {
  public:
    // Scripted answers.
    bool frontmost = false;
    HostCursor cursor;
    bool trusted = true;
    bool grantOnRequest = false;
    double now = 1000.0;
    std::optional<Point> pointer = Point{10, 20};
    AxStatus elementStatus = AxStatus::kSuccess;
    bool elementFound = true;
    AxAnswer<std::string> roleAnswer{AxStatus::kSuccess, "AXButton"};
    AxAnswer<bool> focusAnswer{AxStatus::kSuccess, false};
    InputMonitoringAccess inputMonitoring = InputMonitoringAccess::kUnknown;
    bool inputMonitoringRequestResult = false;
    std::optional<std::vector<WindowEntry>> windows = std::vector<WindowEntry>{};

    // What was asked, in order.
    std::vector<std::string> calls;
    float messagingTimeout = 0;

    void setAccessibilityMessagingTimeout(float seconds) override {
        calls.push_back("setAccessibilityMessagingTimeout");
        messagingTimeout = seconds;
    }
    bool IsOrvelFrontmost() override { return frontmost; }
    HostCursor currentCursor() override {
        calls.push_back("currentCursor");
        return cursor;
    }
    bool isAccessibilityTrusted() override {
        calls.push_back("isAccessibilityTrusted");
        return trusted;
    }
    bool requestAccessibilityTrust() override {
        calls.push_back("requestAccessibilityTrust");
        return grantOnRequest;
    }
    double absoluteTime() override { return now; }
    std::optional<Point> pointerLocation() override { return pointer; }
    AxElementAnswer elementAtPosition(float x, float y) override {
        calls.push_back("elementAtPosition " + std::to_string(x) + " " + std::to_string(y));
        return {elementStatus, elementFound ? std::make_unique<FakeElement>() : nullptr};
    }
    AxAnswer<std::string> role(AxElement&) override {
        calls.push_back("role");
        return roleAnswer;
    }
    AxAnswer<bool> focused(AxElement&) override {
        calls.push_back("focused");
        return focusAnswer;
    }
    InputMonitoringAccess checkInputMonitoring() override { return inputMonitoring; }
    bool requestInputMonitoring() override {
        calls.push_back("requestInputMonitoring");
        return inputMonitoringRequestResult;
    }
    std::optional<std::vector<WindowEntry>> copyWindowList() override { return windows; }

    size_t count(const std::string& prefix) const {
        size_t n = 0;
        for (const auto& call : calls) {
            n += call.rfind(prefix, 0) == 0;
        }
        return n;
    }
};

}  // namespace desktop_info::testing

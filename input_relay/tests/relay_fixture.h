// A relay run against the fake platform with one ordinary window selected.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "relay.h"

namespace input_relay::testing {

inline constexpr std::uint32_t WINDOW = 8123;
inline constexpr std::int32_t PID = 4242;
inline constexpr Rect BOUNDS = {100, 100, 800, 600};
inline const std::string TOKEN = "window:8123";

// A fake platform showing the selected window.
inline FakePlatform withWindow() {
    FakePlatform platform;
    platform.addWindow(WINDOW, BOUNDS, PID);
    return platform;
}

class RelayTest : public ::testing::Test {
  protected:
    int run(std::vector<std::string> args) {
        return Relay(platform, std::move(args), cancelled).run();
    }

    // The records written, without their "at" stamps.
    std::vector<std::string> records() const {
        static const std::regex AT(",\"at\":-?[0-9]+");
        std::vector<std::string> lines;
        std::istringstream stream(platform.out);
        for (std::string line; std::getline(stream, line);) {
            lines.push_back(std::regex_replace(line, AT, ""));
        }
        return lines;
    }

    std::vector<Event> postedOf(std::initializer_list<EventType> types) const {
        std::vector<Event> events;
        for (const PostedEvent& p : platform.posted) {
            if (std::find(types.begin(), types.end(), p.event.type) != types.end()) {
                events.push_back(p.event);
            }
        }
        return events;
    }

    FakePlatform platform = withWindow();
    volatile std::sig_atomic_t cancelled = 0;
};

}  // namespace input_relay::testing

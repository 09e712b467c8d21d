// Arbitrary command lines through the whole relay on the fake platform: no crash, hang or
// out-of-bounds read. The first byte picks scene variations; the rest, split at NUL bytes, is
// the argument vector. The fake clock never really sleeps, and a run that goes on for too
// long is stopped the way a signal would stop it.
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "relay.h"

namespace {

constexpr int CHECKPOINT_LIMIT = 3000;

using input_relay::AxNumber;
using input_relay::AxPoint;
using input_relay::AxSize;
using input_relay::AxValue;
using input_relay::EventType;
using input_relay::Rect;
using input_relay::testing::FakeNode;
using input_relay::testing::FakePlatform;

void buildScene(FakePlatform& platform, std::uint8_t variation) {
    platform.addWindow(8123, Rect{100, 100, 800, 600}, 4242);
    FakeNode& window = platform.nodes[0];
    window.attributes["AXRole"] = AxValue{std::string("AXWindow")};
    window.attributes["AXPosition"] = AxPoint{{100, 100}};
    window.attributes["AXSize"] = AxSize{800, 600};
    FakeNode child;
    child.attributes["AXRole"] = AxValue{std::string("AXStaticText")};
    child.attributes["AXValue"] = AxValue{AxNumber{std::int64_t{7}}};
    child.attributes["AXPosition"] = AxPoint{{150, 150}};
    child.attributes["AXSize"] = AxSize{50, 20};
    const int childNode = platform.addNode(child);
    platform.nodes[0].children.push_back(childNode);
    if (variation & 1) {
        platform.windows.insert(platform.windows.begin(),
                                {1, Rect{0, 0, 2000, 2000}, 1, std::int64_t{0}});
    }
    if (variation & 2) {
        platform.authenticationFails = [](const input_relay::Event& e) {
            return e.keyCode % 3 == 0;
        };
    }
    if (variation & 4) {
        platform.uncreatable = {EventType::leftMouseDown, EventType::keyUp};
    }
    if (variation & 8) {
        platform.onOpenApplication = [](const auto&) {};
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::vector<std::string> args(1);
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0) {
            args.emplace_back();
        } else {
            args.back().push_back(static_cast<char>(data[i]));
        }
    }
    FakePlatform platform;
    buildScene(platform, data[0]);
    volatile std::sig_atomic_t cancelled = 0;
    int checkpoints = 0;
    platform.onCheckpoint = [&](std::string_view) {
        if (++checkpoints == CHECKPOINT_LIMIT) {
            cancelled = 1;
        }
    };
    const int status = input_relay::Relay(platform, args, cancelled).run();
    // Exactly one failure line on failure, none otherwise. Key-ups that cannot be
    // authenticated or created are not delivered, so the release of keys is checked only
    // where they can be.
    const bool oneLine =
        !platform.err.empty() && platform.err.find('\n') == platform.err.size() - 1;
    const auto held = platform.heldInput();
    if ((status == 0 && !platform.err.empty()) || (status == 2 && !oneLine) ||
        (status != 0 && status != 2) || held.button || ((data[0] & 6) == 0 && !held.keys.empty())) {
        __builtin_trap();
    }
    return 0;
}

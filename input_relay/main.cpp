// input_relay: drives a script of input into one selected window, or reports its elements.
#include <csignal>
#include <string>
#include <vector>

#include "platform.h"
#include "relay.h"

namespace {

volatile std::sig_atomic_t gCancelled = 0;

extern "C" void onStopSignal(int) {
    gCancelled = 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
    auto platform = input_relay::makePlatform();
    return input_relay::Relay(*platform, std::move(args), gCancelled).run();
}

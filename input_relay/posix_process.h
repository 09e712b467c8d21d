// Clocks, sleeping, the parent process id and the two output streams on POSIX systems.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform.h"

namespace input_relay::posix_process {

// Once at start: a reader that went away must not kill the relay before it releases what it
// holds, and sleeps should end as close to their deadline as the system allows.
void prepareProcess();
double uptime();
double wallClock();
// Returns early when a signal arrives, so that a stop request is seen at once.
void sleepMicroseconds(std::uint32_t microseconds);
std::int32_t parentProcessId();
void writeOutput(std::string_view bytes);
void writeError(std::string_view bytes);

// These operations as a platform answers them on any POSIX system, over a platform class.
template <typename Base>
class PosixProcess : public Base {
  public:
    using Base::Base;
    double uptime() override { return posix_process::uptime(); }
    double wallClock() override { return posix_process::wallClock(); }
    void sleepMicroseconds(std::uint32_t microseconds) override {
        posix_process::sleepMicroseconds(microseconds);
    }
    std::int32_t parentProcessId() override { return posix_process::parentProcessId(); }
    void writeOutput(std::string_view bytes) override { posix_process::writeOutput(bytes); }
    void writeError(std::string_view bytes) override { posix_process::writeError(bytes); }
};

}  // namespace input_relay::posix_process

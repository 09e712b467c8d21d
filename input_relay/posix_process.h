// Clocks, sleeping, the parent process id and the two output streams on POSIX systems.
#pragma once

#include <cstdint>
#include <string_view>

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

}  // namespace input_relay::posix_process

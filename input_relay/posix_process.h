// Clocks, sleeping, the parent process id and the two output streams on POSIX systems.
#pragma once

#include <cstdint>
#include <string_view>

namespace input_relay::posix_process {

double uptime();
double wallClock();
// Returns early when a signal arrives, so that a stop request is seen at once.
void sleepMicroseconds(std::uint32_t microseconds);
std::int32_t parentProcessId();
void writeOutput(std::string_view bytes);
void writeError(std::string_view bytes);

}  // namespace input_relay::posix_process

namespace input_relay::posix_process {
// A reader that went away must not kill the relay before it releases what it holds.
void ignoreBrokenPipes();
}  // namespace input_relay::posix_process

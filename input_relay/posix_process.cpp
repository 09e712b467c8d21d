#include "posix_process.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace input_relay::posix_process {
namespace {

// Writes straight to the descriptor, so each piece reaches the reader when this returns.
void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;  // a closed or broken stream: nobody is reading any more
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

template <typename Clock>
double secondsOf() {
    return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

}  // namespace

void prepareProcess() {
    std::signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
    // The default 50 us of timer slack would add up over the paced steps of a script.
    ::prctl(PR_SET_TIMERSLACK, 1UL);
#endif
}

double uptime() {
    return secondsOf<std::chrono::steady_clock>();
}
double wallClock() {
    return secondsOf<std::chrono::system_clock>();
}
void sleepMicroseconds(std::uint32_t microseconds) {
    ::usleep(microseconds);
}
std::int32_t parentProcessId() {
    return ::getppid();
}
void writeOutput(std::string_view bytes) {
    writeAll(STDOUT_FILENO, bytes);
}
void writeError(std::string_view bytes) {
    writeAll(STDERR_FILENO, bytes);
}

}  // namespace input_relay::posix_process

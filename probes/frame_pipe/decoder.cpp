#include "decoder.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

extern char** environ;

namespace probes {
namespace {

constexpr int SIGNAL_STATUS_BASE = 128;

// The decoder a termination signal must stop; read by the signal handler only.
volatile sig_atomic_t gDecoderToStop = 0;

extern "C" void stopDecoderAndEnd(int signal) {
    if (gDecoderToStop > 0) {
        ::kill(static_cast<pid_t>(gDecoderToStop), SIGTERM);
    }
    // End the way the signal would have ended the probe.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

std::system_error spawnError(int code, const std::string& path) {
    return std::system_error(code, std::generic_category(), "cannot start decoder " + path);
}

// Owns the pieces of a launch until the child is running.
struct SpawnSetup {
    posix_spawn_file_actions_t actions{};
    posix_spawnattr_t attributes{};
    int pipe[2] = {-1, -1};

    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        for (int fd : pipe) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

// A pipe whose ends the decoder does not inherit; only the dup onto its standard output
// survives, so closing our read end reaches it as a broken pipe.
int makePipe(int ends[2]) {
    if (::pipe(ends) != 0) {
        return errno;
    }
    for (int i = 0; i < 2; ++i) {
        if (::fcntl(ends[i], F_SETFD, FD_CLOEXEC) != 0) {
            return errno;
        }
    }
    return 0;
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : STOP_SIGNALS) {
        sigaddset(&set, signal);
    }
    return set;
}

// The decoder starts with the probe's signal mask minus the stop signals the probe holds back
// while it launches.
int unblockStopSignals(posix_spawnattr_t& attributes) {
    sigset_t mask;
    ::sigprocmask(SIG_SETMASK, nullptr, &mask);
    for (int signal : STOP_SIGNALS) {
        sigdelset(&mask, signal);
    }
    if (int code = posix_spawnattr_setsigmask(&attributes, &mask); code != 0) {
        return code;
    }
    return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
}

}  // namespace

std::vector<std::string> decoderArguments(const std::string& video, const std::string& filter) {
    return {"-v",   "error", "-nostdin",   "-i",   video, "-an",      "-sn",   "-dn", "-vf",
            filter, "-f",    "image2pipe", "-c:v", "bmp", "-pix_fmt", "bgr24", "-"};
}

std::string filterText(std::string_view rate, int width) {
    return "fps=" + std::string(rate) + ",scale=" + std::to_string(width) + ":-2";
}

Decoder Decoder::launchDecoder(const std::string& path, const std::vector<std::string>& arguments) {
    SpawnSetup setup;
    if (int code = posix_spawn_file_actions_init(&setup.actions); code != 0) {
        throw spawnError(code, path);
    }
    if (int code = posix_spawnattr_init(&setup.attributes); code != 0) {
        throw spawnError(code, path);
    }
    if (int code = unblockStopSignals(setup.attributes); code != 0) {
        throw spawnError(code, path);
    }
    if (int code = makePipe(setup.pipe); code != 0) {
        throw spawnError(code, path);
    }
    if (int code = posix_spawn_file_actions_adddup2(&setup.actions, setup.pipe[1], STDOUT_FILENO);
        code != 0) {
        throw spawnError(code, path);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (int code = posix_spawn(&pid, path.c_str(), &setup.actions, &setup.attributes, argv.data(),
                               environ);
        code != 0) {
        throw spawnError(code, path);
    }
    Decoder decoder(pid, setup.pipe[0]);
    setup.pipe[0] = -1;
    return decoder;
}

Decoder::Decoder(Decoder&& other) noexcept : pid_(other.pid_), frames_(other.frames_) {
    other.pid_ = -1;
    other.frames_ = -1;
}

Decoder::~Decoder() {
    closeFrames();
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
    }
}

void Decoder::closeFrames() {
    if (frames_ >= 0) {
        ::close(frames_);
        frames_ = -1;
    }
}

StopDecoderOnSignal::StopDecoderOnSignal() {
    struct sigaction action {};
    action.sa_handler = stopDecoderAndEnd;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(STOP_SIGNALS); ++i) {
        ::sigaction(STOP_SIGNALS[i], &action, &previous_[i]);
    }
    const sigset_t held = stopSignals();
    ::sigprocmask(SIG_BLOCK, &held, &previousMask_);
}

void StopDecoderOnSignal::watch(pid_t decoder) {
    gDecoderToStop = decoder;
    ::sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
    blocked_ = false;
}

StopDecoderOnSignal::~StopDecoderOnSignal() {
    if (blocked_) {
        ::sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
    }
    for (std::size_t i = 0; i < std::size(STOP_SIGNALS); ++i) {
        ::sigaction(STOP_SIGNALS[i], &previous_[i], nullptr);
    }
    gDecoderToStop = 0;
}

int Decoder::waitForExit() {
    closeFrames();
    int status = 0;
    pid_t waited = 0;
    do {
        waited = ::waitpid(pid_, &status, 0);
    } while (waited < 0 && errno == EINTR);
    pid_ = -1;
    if (waited < 0) {
        throw std::system_error(errno, std::generic_category(), "cannot wait for the decoder");
    }
    return WIFSIGNALED(status) ? SIGNAL_STATUS_BASE + WTERMSIG(status) : WEXITSTATUS(status);
}

}  // namespace probes

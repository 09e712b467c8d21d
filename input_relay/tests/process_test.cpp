// The relay as a real process: exit status, records as they happen, the failure line,
// stop signals and the parent going away.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr auto READ_LIMIT = std::chrono::seconds(20);

struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

// The scene every relay of these tests sees; removed when the tests end.
class Scenario {
  public:
    Scenario() {
        const int fd = ::mkstemp(path_.data());
        const std::string line = "window 8123 100 100 800 600 4242\n";
        EXPECT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        ::close(fd);
    }
    ~Scenario() { ::unlink(path_.c_str()); }
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;
    const char* path() const { return path_.c_str(); }

  private:
    std::string path_ = "/tmp/input_relay_scenarioXXXXXX";
};

const char* scenarioFile() {
    static const Scenario scenario;
    return scenario.path();
}

[[noreturn]] void execRelay(const std::vector<std::string>& args, int out, int err,
                            const char* scenario) {
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::setenv("INPUT_RELAY_SCENARIO", scenario, 1);
    std::vector<char*> argv = {const_cast<char*>(SCRIPTED_RELAY)};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(SCRIPTED_RELAY, argv.data());
    ::_exit(127);
}

// Starts the relay as a child of this process, or with `intermediate` as the child of an
// intermediate process whose pid is returned there.
Child start(const std::vector<std::string>& args, pid_t* intermediate = nullptr) {
    int out[2];
    int err[2];
    int relayPid[2];
    EXPECT_EQ(::pipe(out), 0);
    EXPECT_EQ(::pipe(err), 0);
    EXPECT_EQ(::pipe(relayPid), 0);
    Child child;
    const char* scenario = scenarioFile();
    const pid_t first = ::fork();
    if (first == 0) {
        if (!intermediate) {
            execRelay(args, out[1], err[1], scenario);
        }
        const pid_t relay = ::fork();
        if (relay == 0) {
            execRelay(args, out[1], err[1], scenario);
        }
        (void)!::write(relayPid[1], &relay, sizeof relay);
        ::pause();  // until the test kills it
        ::_exit(0);
    }
    if (intermediate) {
        *intermediate = first;
        EXPECT_EQ(::read(relayPid[0], &child.pid, sizeof child.pid),
                  static_cast<ssize_t>(sizeof child.pid));
    } else {
        child.pid = first;
    }
    for (int fd : {out[1], err[1], relayPid[0], relayPid[1]}) {
        ::close(fd);
    }
    child.out = out[0];
    child.err = err[0];
    return child;
}

// Reads one line, waiting at most READ_LIMIT; "" at end of stream or on time-out.
std::string readLine(int fd) {
    std::string line;
    const auto until = std::chrono::steady_clock::now() + READ_LIMIT;
    char c = 0;
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        if (::read(fd, &c, 1) != 1) {
            break;
        }
        line.push_back(c);
        if (c == '\n') {
            break;
        }
    }
    return line;
}

std::string readAll(int fd) {
    std::string all;
    for (std::string line = readLine(fd); !line.empty(); line = readLine(fd)) {
        all += line;
    }
    return all;
}

int statusOf(pid_t pid) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string withoutTime(std::string record) {
    const auto at = record.find(",\"at\":");
    return at == std::string::npos ? record : record.substr(0, at) + "}\n";
}

TEST(Process, ACompletedScriptExitsZeroWithOneRecordPerEvent) {
    Child child = start({"window:8123", "d:0", "150,160", "scroll:40"});
    EXPECT_EQ(withoutTime(readLine(child.out)), "{\"kind\":\"move\",\"x\":150,\"y\":160}\n");
    EXPECT_EQ(withoutTime(readLine(child.out)),
              "{\"kind\":\"scroll\",\"x\":150,\"y\":160,\"dy\":40}\n");
    EXPECT_EQ(readAll(child.out), "");
    EXPECT_EQ(readAll(child.err), "");
    EXPECT_EQ(statusOf(child.pid), 0);
}

TEST(Process, AFailureWritesOneLineAndExitsTwo) {
    Child child = start({"elements"});
    EXPECT_EQ(readAll(child.err), "Packaged input requires a selected capture window.\n");
    EXPECT_EQ(readAll(child.out), "");
    EXPECT_EQ(statusOf(child.pid), 2);
}

// A record reaches the reader while the run is still waiting, and a stop signal then ends
// the run, releasing the held button first.
TEST(Process, StopSignalsDuringALongWaitEndTheRunAfterRecordsAlreadyRead) {
    for (int signal : {SIGTERM, SIGINT}) {
        Child child = start({"window:8123", "150,160", "down", "wait:60000"});
        readLine(child.out);
        EXPECT_EQ(withoutTime(readLine(child.out)), "{\"kind\":\"down\",\"x\":150,\"y\":160}\n");
        ::kill(child.pid, signal);
        EXPECT_EQ(withoutTime(readLine(child.out)), "{\"kind\":\"up\",\"x\":150,\"y\":160}\n");
        EXPECT_EQ(readAll(child.err), "Selected capture input was cancelled.\n");
        EXPECT_EQ(statusOf(child.pid), 2);
    }
}

#if defined(__linux__)
// Collecting the orphaned relay's status needs a subreaper, which only Linux offers.
TEST(Process, TheParentGoingAwayCancelsTheRun) {
    // Orphans are given to this process, so it can collect the relay's status.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    pid_t parent = -1;
    Child child = start({"window:8123", "150,160", "wait:60000"}, &parent);
    readLine(child.out);  // the relay runs and has recorded its parent
    ::kill(parent, SIGKILL);
    EXPECT_EQ(statusOf(parent), -1);
    EXPECT_EQ(readAll(child.err), "Selected capture input was cancelled.\n");
    EXPECT_EQ(statusOf(child.pid), 2);
}
#endif

}  // namespace

// Starts a test program (x11_test_client by default) for a test, reads the line it prints
// when ready, and keeps it (and its windows) until destroyed.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform_linux::testing {

class TestClient {
  public:
    explicit TestClient(const std::vector<std::string>& arguments,
                        const char* program = X11_TEST_CLIENT) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[1]);
            close(out[0]);
            std::vector<char*> argv{const_cast<char*>(program)};
            for (const auto& a : arguments) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        FILE* output = fdopen(out[0], "r");
        char line[4096] = {};
        const bool ready = std::fgets(line, sizeof line, output) != nullptr;
        std::fclose(output);
        if (!ready) {
            throw std::runtime_error("x11_test_client did not start");
        }
        line_ = line;
        parseIds(line_);
    }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;
    ~TestClient() {
        close(stdin_);
        waitpid(pid_, nullptr, 0);
    }

    const std::vector<uint32_t>& windows() const { return windows_; }
    const std::string& line() const { return line_; }

  private:
    void parseIds(const std::string& line) {
        auto pos = line.find('[');
        while (pos != std::string::npos && line[pos] != ']') {
            ++pos;
            if (std::isdigit(static_cast<unsigned char>(line[pos]))) {
                size_t used = 0;
                windows_.push_back(static_cast<uint32_t>(std::stoul(line.substr(pos), &used)));
                pos += used;
            }
        }
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    std::vector<uint32_t> windows_;
    std::string line_;
};

}  // namespace platform_linux::testing

#pragma once
// Test helpers shared by the frame pipe and both probes: crafted BMP files and streams, an
// in-memory byte source, scratch directories, scripted decoders and running a program.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "frame_stream.h"
#include "probe_run.h"

extern char** environ;

namespace probes::testing {

// The real decoder and the photos its test videos are made from are found when the build is
// configured; a test that needs one that was not found is skipped and says which.
#define SKIP_UNLESS_FOUND(path)                                               \
    if (std::string_view(path).empty()) {                                     \
        GTEST_SKIP() << #path " was not found when the build was configured"; \
    }

struct Bgr {
    std::uint8_t blue = 0;
    std::uint8_t green = 0;
    std::uint8_t red = 0;
};

inline void putLittleEndian(Bytes& bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

constexpr std::size_t BMP_HEADER = 54;

// A 24-bit BMP file; rows stored bottom-up unless `topDown` (then the height field is negative).
inline Bytes makeBmp(int width, int height, const std::function<Bgr(int x, int y)>& pixel,
                     bool topDown = false) {
    const std::size_t stride = (3 * static_cast<std::size_t>(width) + 3) & ~std::size_t{3};
    Bytes bytes(BMP_HEADER + stride * static_cast<std::size_t>(height), 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    putLittleEndian(bytes, 2, static_cast<std::uint32_t>(bytes.size()));
    putLittleEndian(bytes, 10, BMP_HEADER);
    putLittleEndian(bytes, 14, 40);
    putLittleEndian(bytes, 18, static_cast<std::uint32_t>(width));
    putLittleEndian(bytes, 22, static_cast<std::uint32_t>(topDown ? -height : height));
    bytes[26] = 1;
    bytes[28] = 24;
    for (int y = 0; y < height; ++y) {
        const int stored = topDown ? y : height - 1 - y;
        for (int x = 0; x < width; ++x) {
            const Bgr value = pixel(x, y);
            const std::size_t at = BMP_HEADER + static_cast<std::size_t>(stored) * stride +
                                   3 * static_cast<std::size_t>(x);
            bytes[at] = value.blue;
            bytes[at + 1] = value.green;
            bytes[at + 2] = value.red;
        }
    }
    return bytes;
}

// A grey frame with a smooth texture (period in pixels), shifted right by `shift` pixels.
inline Bytes texturedBmp(int width, int height, double shift = 0.0) {
    return makeBmp(width, height, [shift](int x, int y) {
        const double value =
            128 + 60 * std::sin((x - shift) * 0.45) + 50 * std::cos(y * 0.37 + x * 0.05);
        const auto grey = static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
        return Bgr{grey, grey, grey};
    });
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Serves bytes from memory at most `chunk` at a time, like a pipe delivering partial reads.
class MemorySource : public ByteSource {
  public:
    explicit MemorySource(Bytes bytes, std::size_t chunk = 4096)
        : bytes_(std::move(bytes)), chunk_(chunk) {}

    std::ptrdiff_t readSome(std::uint8_t* into, std::size_t capacity) override {
        ++reads;
        const std::size_t count = std::min({capacity, chunk_, bytes_.size() - position_});
        if (count > 0) {
            std::memcpy(into, bytes_.data() + position_, count);
        }
        position_ += count;
        return static_cast<std::ptrdiff_t>(count);
    }

    int reads = 0;

  private:
    Bytes bytes_;
    std::size_t chunk_;
    std::size_t position_ = 0;
};

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline void writeFile(const std::filesystem::path& path, const Bytes& content) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::vector<std::string> readLines(const std::filesystem::path& path) {
    std::istringstream in(readFile(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A fresh directory under `parent` (the build tree), unique per test and per process.
inline std::filesystem::path scratchDirectory(const std::filesystem::path& parent) {
    std::filesystem::create_directories(parent);
    std::string pattern = (parent / "scratch-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    return pattern;
}

// A decoder stand-in: records its arguments one per line in `dir`/args, then runs `body`.
inline std::string fakeDecoder(const std::filesystem::path& dir, const std::string& body) {
    const std::filesystem::path path = dir / "decoder";
    writeFile(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + (dir / "args").string() + "'\n" +
                        body + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path.string();
}

// A decoder that writes `stream` (saved as `dir`/stream, the video argument to pass it) and then
// exits with `status`.
inline std::string streamingDecoder(const std::filesystem::path& dir, const Bytes& stream,
                                    int status) {
    writeFile(dir / "stream", stream);
    return fakeDecoder(dir, "cat \"$5\"; exit " + std::to_string(status));
}

struct Finished {
    int status = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

// Starts `program` with its output and error streams going to files of `dir`.
inline pid_t startProgram(const std::filesystem::path& dir, const std::string& program,
                          const std::vector<std::string>& arguments) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir / "stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / "stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot run " + program);
    }
    return pid;
}

// Waits for a program startProgram started and collects what it wrote.
inline Finished finishProgram(const std::filesystem::path& dir, pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status),
            readFile(dir / "stdout"), readFile(dir / "stderr")};
}

inline Finished runProgram(const std::filesystem::path& dir, const std::string& program,
                           const std::vector<std::string>& arguments) {
    return finishProgram(dir, startProgram(dir, program, arguments));
}

// A test with a fresh scratch directory of its own, removed afterwards.
class ScratchTest : public ::testing::Test {
  protected:
    const std::filesystem::path dir = scratchDirectory(TEST_SCRATCH);
    void TearDown() override { std::filesystem::remove_all(dir); }
};

// Runs a probe's entry in this process with its output and error streams captured in files of
// `dir`.
inline Finished runInProcess(const std::filesystem::path& dir,
                             const std::function<int(ProbeStreams)>& probe) {
    const int out = ::open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int status = probe({out, err});
    ::close(out);
    ::close(err);
    return {status, readFile(dir / "out"), readFile(dir / "err")};
}

// A run that must end at once: its status, no output, and how its error text starts.
struct EarlyEnd {
    std::vector<std::string> arguments;
    int status;
    std::string errStart;
};

inline void expectEarlyEnds(const std::filesystem::path& dir, const std::string& program,
                            const std::vector<EarlyEnd>& cases) {
    for (const EarlyEnd& c : cases) {
        const Finished finished = runProgram(dir, program, c.arguments);
        EXPECT_EQ(finished.status, c.status);
        EXPECT_EQ(finished.out, "");
        EXPECT_EQ(finished.err.rfind(c.errStart, 0), 0u) << finished.err;
    }
}

// A copy of `program` in a directory of its own, without the engine module and model files that
// lie beside the built program.
inline std::string programAlone(const std::filesystem::path& dir, const std::string& program) {
    const std::filesystem::path alone = dir / "alone";
    std::filesystem::create_directories(alone);
    const std::filesystem::path copy = alone / std::filesystem::path(program).filename();
    std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing);
    return copy.string();
}

// On Linux a probe without its engine module beside it refuses the run once its decoder (here
// streaming one frame `width` wide) has started.
inline void expectRefusedWithoutEngineModule([[maybe_unused]] const std::filesystem::path& dir,
                                             [[maybe_unused]] const std::string& program,
                                             [[maybe_unused]] int width,
                                             [[maybe_unused]] const std::string& rate) {
#if defined(__linux__)
    const std::string name = std::filesystem::path(program).filename().string();
    expectEarlyEnds(
        dir, programAlone(dir, program),
        {{{streamingDecoder(dir, texturedBmp(width, 180), 0), (dir / "stream").string(), rate},
          REFUSED_STATUS,
          name + ": cannot load the engine module " + (dir / "alone").string()}});
#endif
}

// A decoder that writes the stream named by the video argument, then would stay for half a
// minute; it records its process id in `dir`/pid.
inline std::string lingeringDecoder(const std::filesystem::path& dir) {
    return fakeDecoder(dir,
                       "echo $$ > '" + (dir / "pid").string() + "'; cat \"$5\"; exec sleep 30");
}

inline bool processRunning(pid_t pid);

// The lingering decoder's process id, once it has started.
inline pid_t lingeringDecoderPid(const std::filesystem::path& dir) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readFile(dir / "pid").empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::stoi(readFile(dir / "pid"));
}

// Whether the lingering decoder has ended within a few seconds.
inline bool lingeringDecoderEnded(const std::filesystem::path& dir) {
    const pid_t pid = lingeringDecoderPid(dir);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (processRunning(pid) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return !processRunning(pid);
}

// True while `pid` names a process that has not yet ended (zombies count as ended).
inline bool processRunning(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string skip;
    std::string state;
    if (!(stat >> skip >> skip >> state)) {
        return ::kill(pid, 0) == 0;
    }
    return state != "Z" && state != "X";
}

}  // namespace probes::testing

#include "media_linux.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "serial_executor.h"

namespace filmstrip {
namespace {

constexpr int32_t kNanosecondsPerSecond = 1'000'000'000;
constexpr const char* kSystemLogSocket = "/dev/log";

class LinuxMedia final : public Media {
  public:
    explicit LinuxMedia(std::unique_ptr<CaptureSource> source) : source_(std::move(source)) {}

    void getShareableContent(
        std::function<void(std::optional<ShareableContent>, MaybeError)> completion) override {
        completions_.async([this, completion = std::move(completion)] {
            ContentResult result = source_->shareableContent();
            completion(std::move(result.content), std::move(result.error));
        });
    }

    // The executable's path: what the Linux content lists use as an application identifier.
    std::string hostApplicationIdentifier() override {
        std::error_code error;
        const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
        return error ? std::string() : self.string();
    }

    std::optional<DisplayMode> displayMode(uint32_t displayID) override {
        return source_->displayMode(displayID);
    }

    std::optional<std::vector<uint32_t>> displaysWithPoint(double x, double y,
                                                           uint32_t maxDisplays) override {
        return source_->displaysWithPoint(x, y, maxDisplays);
    }

    uint32_t mainDisplayID() override { return source_->mainDisplayID(); }

    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamListener> listener) override {
        return source_->makeStream(filter, configuration, std::move(listener), *this, completions_);
    }

    WriterResult makeMP4Writer(const std::string& path) override {
        return MakeFFmpegWriter(path, completions_);
    }

    MediaTime hostTime() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return MediaTime::make(
            static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec,
            kNanosecondsPerSecond);
    }

    bool fileExists(const std::string& path) override { return access(path.c_str(), F_OK) == 0; }

    MaybeError removeFile(const std::string& path) override {
        if (unlink(path.c_str()) == 0) {
            return std::nullopt;
        }
        const int code = errno;
        return Error{kPosixErrorDomain, code, std::strerror(code)};
    }

    // To the system log; where there is none (no /dev/log socket, as in many containers),
    // to standard error, so that the line is not lost.
    void log(const std::string& line) override {
        if (access(kSystemLogSocket, W_OK) == 0) {
            syslog(LOG_NOTICE, "%s", line.c_str());
        } else {
            std::fprintf(stderr, "filmstrip: %s\n", line.c_str());
        }
    }

  private:
    const std::unique_ptr<CaptureSource> source_;
    // Where platform completions run, like the capture framework's own queues.
    SerialExecutor completions_;
};

}  // namespace

std::shared_ptr<Media> MakeLinuxMedia(std::unique_ptr<CaptureSource> source) {
    return std::make_shared<LinuxMedia>(std::move(source));
}

// Lives for the whole process: recordings may still be finishing while it exits, so it is
// never torn down by a static destructor.
Executor& MainQueue() {
    static auto* queue = new SerialExecutor();
    return *queue;
}

}  // namespace filmstrip

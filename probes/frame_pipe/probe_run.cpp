#include "probe_run.h"

#include <sys/resource.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>

#include "decoder.h"
#include "read_ahead.h"

namespace probes {
namespace {

int fail(std::string_view name, const std::string& description, int status, ProbeStreams streams) {
    writeLine(streams.err, std::string(name) + ": " + description);
    return status;
}

// Every sample allocates frame and flow buffers of a few hundred kilobytes and frees them again.
// glibc would return blocks that large to the kernel on each free and fault their pages in
// afresh for the next sample, which costs more than the work on them; this keeps them for reuse.
void keepFreedMemory() {
#if defined(__GLIBC__)
    constexpr int LARGEST_HEAP_BLOCK = 32 << 20;
    constexpr int KEPT_FREE = 512 << 20;
    ::mallopt(M_MMAP_THRESHOLD, LARGEST_HEAP_BLOCK);
    ::mallopt(M_TRIM_THRESHOLD, KEPT_FREE);
#endif
}

// The decoder is the slower end of the pipe, and it cannot use every core alone: the analysis
// gives it precedence and works in the time it leaves, while the read-ahead buffer holds the
// frames. On Linux the nice value belongs to the calling thread, so the read-ahead thread, made
// before, keeps its priority and the decoder never waits on a full pipe; threads the analysis
// starts later inherit the lower one.
void yieldToDecoder() {
#if defined(__linux__)
    // How much the analysis lowers its scheduling priority below the decoder's.
    constexpr int ANALYSIS_NICENESS = 10;
    constexpr int LOWEST_PRIORITY = 19;
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, 0);
    if (errno == 0) {
        ::setpriority(PRIO_PROCESS, 0, std::min(current + ANALYSIS_NICENESS, LOWEST_PRIORITY));
    }
#endif
}

}  // namespace

void writeLine(int fd, std::string line) {
    line.push_back('\n');
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t done = ::write(fd, line.data() + written, line.size() - written);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return;  // a reader that went away cannot be told anything more
        }
        written += static_cast<std::size_t>(done);
    }
}

int runProbe(std::string_view name, const ProbeLaunch& launch,
             const std::function<std::unique_ptr<FrameLoop>()>& start, ProbeStreams streams) {
    keepFreedMemory();
    StopDecoderOnSignal stopOnSignal;
    std::optional<Decoder> decoder;
    try {
        decoder.emplace(Decoder::launchDecoder(launch.decoderPath, launch.arguments));
    } catch (const std::system_error& error) {
        return fail(name, error.what(), LAUNCH_STATUS, streams);
    }
    stopOnSignal.watch(decoder->pid());
    try {
        {
            // Draining starts before the engine is made, so the decoder works meanwhile.
            ReadAhead frames(decoder->frames(), launch.readAheadBytes);
            yieldToDecoder();
            const std::unique_ptr<FrameLoop> loop = start();
            while (loop->readFrame(frames)) {
            }
        }
        return decoder->waitForExit();
    } catch (const MalformedFrame& error) {
        return fail(name, std::string("malformed frame: ") + error.what(), MALFORMED_FRAME_STATUS,
                    streams);
    } catch (const std::exception& error) {
        return fail(name, error.what(), REFUSED_STATUS, streams);
    }
}

int usageFailure(std::string_view usage, ProbeStreams streams) {
    writeLine(streams.err, "usage: " + std::string(usage));
    return USAGE_STATUS;
}

}  // namespace probes

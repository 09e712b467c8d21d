#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "frame_stream.h"

namespace probes {

// Exit statuses of a run that ends before the decoder does; otherwise the probe exits with the
// decoder's own status.
inline constexpr int USAGE_STATUS = 64;
inline constexpr int MALFORMED_FRAME_STATUS = 65;
inline constexpr int REFUSED_STATUS = 70;
inline constexpr int LAUNCH_STATUS = 71;

// The platform refused a request (optical flow, face landmarks); carries its description.
class PlatformError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Where a probe writes its lines and its failure message.
struct ProbeStreams {
    int out = 1;
    int err = 2;
};

// Writes `line` and a line feed with one write, unbuffered, so the reader sees it at once.
void writeLine(int fd, std::string line);

// One probe's work on the frame stream, created once the decoder is running.
class FrameLoop {
  public:
    virtual ~FrameLoop() = default;
    // Handles the next frame; false at the end of the stream. Throws PlatformError or
    // MalformedFrame to end the run.
    virtual bool readFrame(ByteSource& frames) = 0;
};

struct ProbeLaunch {
    std::string decoderPath;
    std::vector<std::string> arguments;
    // Bytes of decoded frames held ahead of the analysis: a few of the probe's frames, so that the
    // decoder runs on while a frame is analysed (more only costs memory).
    std::size_t readAheadBytes;
};

// Starts the decoder, then the loop (`start` runs while the decoder already works), calls
// readFrame until the stream ends and returns the decoder's status. A failure writes
// "<name>: <description>" to the error stream, stops the decoder and returns a status of its own.
int runProbe(std::string_view name, const ProbeLaunch& launch,
             const std::function<std::unique_ptr<FrameLoop>()>& start, ProbeStreams streams);

// Ends a run that cannot start: the usage line on the error stream and USAGE_STATUS.
int usageFailure(std::string_view usage, ProbeStreams streams);

}  // namespace probes

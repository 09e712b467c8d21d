// The thread a Linux capture stream takes its pictures (or makes its samples) on, and the
// outputs it delivers to. Started by the stream's start; stopped by its stop, by its own end,
// or by the stream's destruction.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "media.h"

namespace filmstrip {

class CaptureThread {
  public:
    CaptureThread() = default;
    ~CaptureThread() { stop(); }
    CaptureThread(const CaptureThread&) = delete;
    CaptureThread& operator=(const CaptureThread&) = delete;

    void addOutput(OutputType type);
    void removeOutput(OutputType type);
    // Whether samples of this type are still wanted: the output is added and capture runs.
    bool wants(OutputType type);

    // Runs `body` on a thread of its own; the body returns once sleepUntil answers false.
    void start(std::function<void()> body);
    // Waits until `time`; false when capture has stopped (or stops meanwhile).
    bool sleepUntil(std::chrono::steady_clock::time_point time);
    // Capture ends by itself, from the body: nothing more is wanted.
    void end();
    // Capture stops: nothing more is wanted, and the thread is joined, or left to finish
    // alone when it is the one asking (it let go of the last reference to its stream).
    void stop();

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    std::set<OutputType> outputs_;
    bool running_ = false;
    std::thread thread_;
};

}  // namespace filmstrip

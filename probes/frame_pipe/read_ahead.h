#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "frame_stream.h"

namespace probes {

// Drains a file descriptor on a thread of its own into a buffer of `capacity` bytes, so that the
// decoder writing it keeps decoding while the probe works on a frame (or loads its engine)
// instead of waiting on a full pipe. Reads hand the bytes over in order; the end of the stream
// or a read error reaches the reader once the buffered bytes are consumed.
class ReadAhead : public ByteSource {
  public:
    ReadAhead(int fd, std::size_t capacity);
    // Stops the thread even while it waits for bytes that never come.
    ~ReadAhead() override;
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    std::ptrdiff_t readSome(std::uint8_t* into, std::size_t capacity) override;

  private:
    void fill();
    void closeWake();
    // Waits for the descriptor to be readable; false when asked to stop.
    bool awaitBytes();

    int fd_;
    int wake_[2] = {-1, -1};  // written once to interrupt the thread's wait
    std::size_t size_;
    // Left unwritten until the pipe fills it: its pages are taken from the system only as the
    // stream reaches them.
    std::unique_ptr<std::uint8_t[]> ring_;
    std::size_t head_ = 0;  // next byte to hand over
    std::size_t held_ = 0;
    std::ptrdiff_t end_ = 1;  // 0 at the end of the stream, negative after a read error
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_;
};

}  // namespace probes

#include "read_ahead.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace probes {

ReadAhead::ReadAhead(int fd, std::size_t capacity)
    : fd_(fd),
      size_(std::max<std::size_t>(capacity, 1)),
      ring_(std::make_unique_for_overwrite<std::uint8_t[]>(size_)) {
    if (::pipe(wake_) != 0 || ::fcntl(wake_[0], F_SETFD, FD_CLOEXEC) != 0 ||
        ::fcntl(wake_[1], F_SETFD, FD_CLOEXEC) != 0) {
        const int error = errno;
        closeWake();
        throw std::system_error(error, std::generic_category(), "cannot make a wake-up pipe");
    }
    thread_ = std::thread([this] { fill(); });
}

ReadAhead::~ReadAhead() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    const char wake = 0;
    while (::write(wake_[1], &wake, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
    closeWake();
}

void ReadAhead::closeWake() {
    for (int& fd : wake_) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

bool ReadAhead::awaitBytes() {
    pollfd watched[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) >= 0) {
            return (watched[1].revents & POLLIN) == 0;
        }
        if (errno != EINTR) {
            return true;  // the read reports what is wrong
        }
    }
}

void ReadAhead::fill() {
    for (;;) {
        std::size_t tail = 0;
        std::size_t room = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || held_ < size_; });
            if (stopping_) {
                return;
            }
            tail = (head_ + held_) % size_;
            room = std::min(size_ - held_, size_ - tail);
        }
        // Only this thread writes the free part of the ring, so the read runs unlocked.
        if (!awaitBytes()) {
            return;
        }
        std::ptrdiff_t got = 0;
        do {
            got = ::read(fd_, ring_.get() + tail, room);
        } while (got < 0 && errno == EINTR);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (got > 0) {
                held_ += static_cast<std::size_t>(got);
            } else {
                end_ = got;
            }
        }
        changed_.notify_all();
        if (got <= 0) {
            return;
        }
    }
}

std::ptrdiff_t ReadAhead::readSome(std::uint8_t* into, std::size_t capacity) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return held_ > 0 || end_ <= 0; });
    if (held_ == 0) {
        return end_;
    }
    const std::size_t count = std::min({capacity, held_, size_ - head_});
    std::memcpy(into, ring_.get() + head_, count);
    head_ = (head_ + count) % size_;
    held_ -= count;
    lock.unlock();
    changed_.notify_all();
    return static_cast<std::ptrdiff_t>(count);
}

}  // namespace probes

#include "capture_thread_linux.h"

namespace filmstrip {

void CaptureThread::addOutput(OutputType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    outputs_.insert(type);
}

void CaptureThread::removeOutput(OutputType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    outputs_.erase(type);
}

bool CaptureThread::wants(OutputType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ && outputs_.contains(type);
}

void CaptureThread::start(std::function<void()> body) {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    thread_ = std::thread(std::move(body));
}

bool CaptureThread::sleepUntil(std::chrono::steady_clock::time_point time) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_until(lock, time, [this] { return !running_; });
}

void CaptureThread::end() {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
}

void CaptureThread::stop() {
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        std::swap(thread_, thread);
    }
    wake_.notify_all();
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
}

}  // namespace filmstrip

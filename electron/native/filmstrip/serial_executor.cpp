#include "serial_executor.h"

namespace filmstrip {

SerialExecutor::SerialExecutor()
    : queue_(std::make_shared<Queue>()), thread_([queue = queue_] { run(queue); }) {}

SerialExecutor::~SerialExecutor() {
    {
        std::lock_guard<std::mutex> lock(queue_->mutex);
        queue_->stopping = true;
    }
    queue_->wake.notify_one();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // destroyed by one of its tasks: the thread finishes the queue alone
    } else {
        thread_.join();
    }
}

void SerialExecutor::async(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(queue_->mutex);
        queue_->tasks.push_back(std::move(task));
    }
    queue_->wake.notify_one();
}

void SerialExecutor::run(const std::shared_ptr<Queue>& queue) {
    std::unique_lock<std::mutex> lock(queue->mutex);
    for (;;) {
        queue->wake.wait(lock, [&queue] { return queue->stopping || !queue->tasks.empty(); });
        if (queue->tasks.empty()) {
            return;  // stopping, and everything queued has run
        }
        std::function<void()> task = std::move(queue->tasks.front());
        queue->tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // a task's captures are released outside the lock too
        lock.lock();
    }
}

}  // namespace filmstrip

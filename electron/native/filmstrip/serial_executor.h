// An Executor that runs its tasks one after another on a thread of its own. Destroying it
// runs the tasks already queued, then ends the thread; it may be destroyed by one of its own
// tasks (the last owner of whatever holds it may be a task).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "media.h"

namespace filmstrip {

class SerialExecutor final : public Executor {
  public:
    SerialExecutor();
    ~SerialExecutor() override;
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    void async(std::function<void()> task) override;

  private:
    // Shared with the thread, which may outlive the executor by the rest of its queue.
    struct Queue {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> tasks;
        bool stopping = false;
    };
    static void run(const std::shared_ptr<Queue>& queue);

    const std::shared_ptr<Queue> queue_;
    std::thread thread_;
};

}  // namespace filmstrip

// An Executor that runs its tasks one after another on a thread of its own. Destroying it
// runs the tasks already queued, then joins the thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
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
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace filmstrip

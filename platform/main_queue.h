#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"

namespace vsc {

// The main thread as the model sees it: tasks posted from any thread run there
// one at a time, after a delay if asked, and repeating timers tick there. The
// tray application runs it on the Qt event loop, programs without a window on
// LoopMainQueue, tests on a virtual clock.
class MainQueue {
  public:
    virtual ~MainQueue() = default;
    // Thread-safe.
    virtual void post(Task task) = 0;
    // Thread-safe; the delay runs on a monotonic clock.
    virtual void postAfter(double seconds, Task task) = 0;
    // A timer that ticks every interval, first one interval from now, for as long
    // as the queue lives.
    virtual void addRepeatingTimer(double interval, Task tick) = 0;
    // Wall-clock now.
    virtual WallTime now() = 0;
};

// A plain main loop for programs without a user interface: run() executes tasks
// on the calling thread until quit().
class LoopMainQueue final : public MainQueue {
  public:
    void post(Task task) override;
    void postAfter(double seconds, Task task) override;
    void addRepeatingTimer(double interval, Task tick) override;
    WallTime now() override;

    void run();
    void quit();  // thread-safe

  private:
    using Steady = std::chrono::steady_clock;
    struct Timer {
        Steady::duration period;
        std::shared_ptr<Task> tick;
        Steady::time_point nextDue;
    };
    void schedule(Steady::time_point due, Task task);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Steady::time_point, Task> tasks_;
    std::vector<Timer> timers_;
    bool quitting_ = false;
};

}  // namespace vsc

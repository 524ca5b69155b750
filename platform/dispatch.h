#pragma once

#include <functional>

namespace vsc {

using Task = std::function<void()>;

// Background work off the main thread: the shared concurrent queue (with a
// delayed form) and dedicated detached threads. One real implementation on
// std::thread; tests use a double that records delays and joins its threads.
class Dispatcher {
  public:
    virtual ~Dispatcher() = default;
    // Runs the task soon on some worker thread.
    virtual void async(Task task) = 0;
    // Runs the task on some worker thread once the delay has passed.
    virtual void asyncAfter(double seconds, Task task) = 0;
    // Runs the task on a thread of its own for as long as it takes.
    virtual void detach(Task task) = 0;
};

class ThreadDispatcher final : public Dispatcher {
  public:
    void async(Task task) override;
    void asyncAfter(double seconds, Task task) override;
    void detach(Task task) override;
    static Dispatcher& shared();
};

}  // namespace vsc

#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"

namespace vsc {

// A serial work queue: tasks run one at a time, in order of their deadlines
// (in order of submission for equal deadlines).
class SerialQueue {
  public:
    virtual ~SerialQueue() = default;
    virtual void async(Task task) = 0;
    virtual void asyncAfter(double seconds, Task task) = 0;
};

// A repeating timer on a serial queue; cancel() stops it for good.
class RepeatingTimer {
  public:
    virtual ~RepeatingTimer() = default;
    virtual void cancel() = 0;
};

// A worker thread named after the queue's label (its first 15 bytes) that owns
// an ordered task list with absolute deadlines on the monotonic clock.
class ThreadSerialQueue final : public SerialQueue {
  public:
    explicit ThreadSerialQueue(std::string label);
    ~ThreadSerialQueue() override;  // drops what has not run yet

    void async(Task task) override;
    void asyncAfter(double seconds, Task task) override;
    const std::string& label() const { return label_; }

    // A strict timer: first tick at once, then at start + n x interval exactly
    // (absolute deadlines, so the cadence never drifts); a tick missed by more
    // than an interval is skipped rather than run late in a burst.
    std::shared_ptr<RepeatingTimer> scheduleRepeating(double interval, Task tick);

  private:
    using Steady = std::chrono::steady_clock;
    struct Timer;
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Steady::time_point, Task> tasks_;
    std::vector<std::shared_ptr<Timer>> timers_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vsc

#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

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

// A worker thread named after the queue's label (its first 15 bytes) that owns
// an ordered task list with absolute deadlines on the steady clock.
class ThreadSerialQueue final : public SerialQueue {
public:
    explicit ThreadSerialQueue(std::string label);
    ~ThreadSerialQueue() override;  // drops what has not run yet

    void async(Task task) override;
    void asyncAfter(double seconds, Task task) override;
    const std::string& label() const { return label_; }

private:
    using Steady = std::chrono::steady_clock;
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<Steady::time_point, Task> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vsc

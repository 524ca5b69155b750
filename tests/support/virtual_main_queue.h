#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/main_queue.h"

namespace vsc::test {

// The main queue on a virtual clock. Tasks posted from any thread wait until
// the test runs them on its own thread with runPending() or advance(); time
// moves only through advance(), so 1.5 s, three ticks or 120 s pass instantly
// and exactly.
class VirtualMainQueue final : public MainQueue {
  public:
    VirtualMainQueue() : now_(WallTime(std::chrono::hours(24 * 365 * 56))) {}

    void post(Task task) override { postAfter(0, std::move(task)); }

    void postAfter(double seconds, Task task) override {
        std::lock_guard<std::mutex> hold(mutex_);
        tasks_.emplace(std::make_pair(elapsed_ + seconds, sequence_++), std::move(task));
    }

    void addRepeatingTimer(double interval, Task tick) override {
        auto shared = std::make_shared<Task>(std::move(tick));
        std::lock_guard<std::mutex> hold(mutex_);
        timers_.push_back({interval, shared, elapsed_ + interval});
    }

    WallTime now() override {
        std::lock_guard<std::mutex> hold(mutex_);
        return now_ + std::chrono::duration_cast<WallTime::duration>(Seconds(elapsed_));
    }

    // Seconds of virtual time since the queue was made.
    double elapsed() {
        std::lock_guard<std::mutex> hold(mutex_);
        return elapsed_;
    }

    // Runs everything due now, including what those tasks post for now.
    void runPending() { advance(0); }

    // Moves time forward, running each task and timer tick at its own moment.
    void advance(double seconds) {
        double until;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            until = elapsed_ + seconds;
        }
        for (;;) {
            Task run;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                double due = until + 1;
                Timer* timer = nullptr;
                if (!tasks_.empty()) due = tasks_.begin()->first.first;
                for (auto& t : timers_) {
                    if (t.nextDue < due) {
                        due = t.nextDue;
                        timer = &t;
                    }
                }
                if (due > until + 1e-9) {
                    elapsed_ = until;
                    return;
                }
                if (due > elapsed_) elapsed_ = due;
                if (timer) {
                    timer->nextDue += timer->interval;
                    auto tick = timer->tick;
                    run = [tick] { (*tick)(); };
                } else {
                    run = std::move(tasks_.begin()->second);
                    tasks_.erase(tasks_.begin());
                }
            }
            run();
        }
    }

    std::size_t pendingCount() {
        std::lock_guard<std::mutex> hold(mutex_);
        return tasks_.size();
    }

    std::size_t timerCount() {
        std::lock_guard<std::mutex> hold(mutex_);
        return timers_.size();
    }

  private:
    struct Timer {
        double interval;
        std::shared_ptr<Task> tick;
        double nextDue;
    };
    std::mutex mutex_;
    WallTime now_;
    double elapsed_ = 0;
    std::uint64_t sequence_ = 0;
    std::map<std::pair<double, std::uint64_t>, Task> tasks_;
    std::vector<Timer> timers_;
};

}  // namespace vsc::test

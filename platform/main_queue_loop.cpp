#include <algorithm>
#include <memory>

#include "platform/main_queue.h"

namespace vsc {

void LoopMainQueue::schedule(Steady::time_point due, Task task) {
    std::lock_guard<std::mutex> hold(mutex_);
    tasks_.emplace(due, std::move(task));
    wake_.notify_one();
}

void LoopMainQueue::post(Task task) {
    schedule(Steady::now(), std::move(task));
}

void LoopMainQueue::postAfter(double seconds, Task task) {
    schedule(Steady::now() + std::chrono::duration_cast<Steady::duration>(Seconds(seconds)),
             std::move(task));
}

void LoopMainQueue::addRepeatingTimer(double interval, Task tick) {
    auto period = std::chrono::duration_cast<Steady::duration>(Seconds(interval));
    std::lock_guard<std::mutex> hold(mutex_);
    timers_.push_back({period, std::make_shared<Task>(std::move(tick)), Steady::now() + period});
    wake_.notify_one();
}

WallTime LoopMainQueue::now() {
    return std::chrono::system_clock::now();
}

void LoopMainQueue::run() {
    std::unique_lock<std::mutex> hold(mutex_);
    while (!quitting_) {
        // The next thing due: the first task or the earliest timer tick.
        Steady::time_point due = Steady::time_point::max();
        if (!tasks_.empty()) due = tasks_.begin()->first;
        Timer* timer = nullptr;
        for (auto& t : timers_) {
            if (t.nextDue < due) {
                due = t.nextDue;
                timer = &t;
            }
        }
        if (due == Steady::time_point::max()) {
            wake_.wait(hold);
            continue;
        }
        auto now = Steady::now();
        if (now < due) {
            wake_.wait_until(hold, due);
            continue;
        }
        Task run;
        if (timer) {
            // The next tick counts from this one's deadline so the cadence does
            // not drift; ticks missed while busy are skipped, not bunched.
            timer->nextDue += timer->period;
            if (timer->nextDue <= now) timer->nextDue = now + timer->period;
            auto tick = timer->tick;
            run = [tick] { (*tick)(); };
        } else {
            run = std::move(tasks_.begin()->second);
            tasks_.erase(tasks_.begin());
        }
        hold.unlock();
        run();
        hold.lock();
    }
}

void LoopMainQueue::quit() {
    std::lock_guard<std::mutex> hold(mutex_);
    quitting_ = true;
    wake_.notify_one();
}

}  // namespace vsc

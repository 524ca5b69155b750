#include <pthread.h>

#include <algorithm>

#include "platform/clock.h"
#include "platform/serial_queue.h"

namespace vsc {

struct ThreadSerialQueue::Timer final : RepeatingTimer {
    ThreadSerialQueue* queue = nullptr;
    Steady::time_point start;
    Steady::duration interval{};
    std::uint64_t index = 0;  // the next tick is start + index x interval
    Task tick;
    bool cancelled = false;  // guarded by the queue's mutex

    Steady::time_point due() const { return start + interval * static_cast<std::int64_t>(index); }

    void cancel() override {
        std::lock_guard<std::mutex> hold(queue->mutex_);
        cancelled = true;
        auto& list = queue->timers_;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [this](const auto& t) { return t.get() == this; }),
                   list.end());
        queue->wake_.notify_one();
    }
};

ThreadSerialQueue::ThreadSerialQueue(std::string label)
    : label_(std::move(label)), thread_([this] { run(); }) {}

ThreadSerialQueue::~ThreadSerialQueue() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
        for (auto& t : timers_) t->cancelled = true;
        timers_.clear();
        wake_.notify_one();
    }
    thread_.join();
}

void ThreadSerialQueue::async(Task task) {
    asyncAfter(0, std::move(task));
}

void ThreadSerialQueue::asyncAfter(double seconds, Task task) {
    auto due = Steady::now() + std::chrono::duration_cast<Steady::duration>(Seconds(seconds));
    std::lock_guard<std::mutex> hold(mutex_);
    tasks_.emplace(due, std::move(task));  // equal keys keep submission order
    wake_.notify_one();
}

std::shared_ptr<RepeatingTimer> ThreadSerialQueue::scheduleRepeating(double interval, Task tick) {
    auto timer = std::make_shared<Timer>();
    timer->queue = this;
    timer->start = Steady::now();
    timer->interval = std::chrono::duration_cast<Steady::duration>(Seconds(interval));
    timer->tick = std::move(tick);
    std::lock_guard<std::mutex> hold(mutex_);
    timers_.push_back(timer);
    wake_.notify_one();
    return timer;
}

void ThreadSerialQueue::run() {
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stopping_) {
        Steady::time_point due = Steady::time_point::max();
        if (!tasks_.empty()) due = tasks_.begin()->first;
        std::shared_ptr<Timer> timer;
        for (auto& t : timers_) {
            if (t->due() < due) {
                due = t->due();
                timer = t;
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
            ++timer->index;
            // Late by more than an interval: skip to the next deadline ahead.
            if (timer->due() <= now) {
                auto behind = (now - timer->start) / timer->interval;
                timer->index = static_cast<std::uint64_t>(behind) + 1;
            }
            run = [timer, this] {
                {
                    std::lock_guard<std::mutex> check(mutex_);
                    if (timer->cancelled) return;
                }
                timer->tick();
            };
        } else {
            run = std::move(tasks_.begin()->second);
            tasks_.erase(tasks_.begin());
        }
        hold.unlock();
        run();
        hold.lock();
    }
}

}  // namespace vsc

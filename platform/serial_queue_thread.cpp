#include <pthread.h>

#include "platform/clock.h"
#include "platform/serial_queue.h"

namespace vsc {

ThreadSerialQueue::ThreadSerialQueue(std::string label)
    : label_(std::move(label)), thread_([this] { run(); }) {}

ThreadSerialQueue::~ThreadSerialQueue() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
        wake_.notify_one();
    }
    thread_.join();
}

void ThreadSerialQueue::async(Task task) { asyncAfter(0, std::move(task)); }

void ThreadSerialQueue::asyncAfter(double seconds, Task task) {
    auto due = Steady::now() + std::chrono::duration_cast<Steady::duration>(Seconds(seconds));
    std::lock_guard<std::mutex> hold(mutex_);
    tasks_.emplace(due, std::move(task));  // equal keys keep submission order
    wake_.notify_one();
}

void ThreadSerialQueue::run() {
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    std::unique_lock<std::mutex> hold(mutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            wake_.wait(hold);
            continue;
        }
        auto first = tasks_.begin();
        if (Steady::now() < first->first) {
            wake_.wait_until(hold, first->first);
            continue;
        }
        Task task = std::move(first->second);
        tasks_.erase(first);
        hold.unlock();
        task();
        hold.lock();
    }
}

}  // namespace vsc

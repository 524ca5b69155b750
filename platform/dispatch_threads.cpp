#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dispatch.h"

namespace vsc {
namespace {

// One thread holds every pending delayed task, ordered by deadline, and hands
// each to a worker when it is due; a delayed task never holds up the others.
class DelayedTasks {
  public:
    void add(std::chrono::steady_clock::time_point due, Task task) {
        std::lock_guard<std::mutex> hold(mutex_);
        tasks_.emplace(due, std::move(task));
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        wake_.notify_one();
    }

  private:
    void run() {
        std::unique_lock<std::mutex> hold(mutex_);
        for (;;) {
            if (tasks_.empty()) {
                wake_.wait(hold);
                continue;
            }
            auto first = tasks_.begin();
            if (std::chrono::steady_clock::now() < first->first) {
                wake_.wait_until(hold, first->first);
                continue;
            }
            Task task = std::move(first->second);
            tasks_.erase(first);
            hold.unlock();
            std::thread(std::move(task)).detach();
            hold.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, Task> tasks_;
    bool started_ = false;
};

DelayedTasks& delayedTasks() {
    // Never destroyed: its thread outlives static destruction at exit.
    static auto* tasks = new DelayedTasks;
    return *tasks;
}

}  // namespace

void ThreadDispatcher::async(Task task) {
    std::thread(std::move(task)).detach();
}

void ThreadDispatcher::asyncAfter(double seconds, Task task) {
    auto due = std::chrono::steady_clock::now() +
               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                   std::chrono::duration<double>(seconds));
    delayedTasks().add(due, std::move(task));
}

void ThreadDispatcher::detach(Task task) {
    std::thread(std::move(task)).detach();
}

Dispatcher& ThreadDispatcher::shared() {
    static ThreadDispatcher dispatcher;
    return dispatcher;
}

}  // namespace vsc

#pragma once

#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch.h"

namespace vsc::test {

// Runs work on threads it can join, and keeps delayed work until the test
// fires it, so a test sees every delay asked for and decides when time passes.
class RecordingDispatcher final : public Dispatcher {
  public:
    struct Delayed {
        double seconds;
        Task task;
    };

    ~RecordingDispatcher() override { joinAll(); }

    void async(Task task) override { detach(std::move(task)); }

    void asyncAfter(double seconds, Task task) override {
        std::lock_guard<std::mutex> hold(mutex_);
        delayed_.push_back({seconds, std::move(task)});
        delays_.push_back(seconds);
    }

    void detach(Task task) override {
        std::lock_guard<std::mutex> hold(mutex_);
        threads_.emplace_back(std::move(task));
    }

    // Runs every delayed task pending now, each on a thread of its own.
    std::size_t fireDelayed() {
        std::vector<Delayed> due;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            due.swap(delayed_);
        }
        for (auto& d : due) detach(std::move(d.task));
        return due.size();
    }

    // Delayed tasks waiting to be fired.
    std::size_t pending() {
        std::lock_guard<std::mutex> hold(mutex_);
        return delayed_.size();
    }

    std::vector<double> delays() {
        std::lock_guard<std::mutex> hold(mutex_);
        return delays_;
    }

    void joinAll() {
        for (;;) {
            std::vector<std::thread> running;
            {
                std::lock_guard<std::mutex> hold(mutex_);
                running.swap(threads_);
            }
            if (running.empty()) return;
            for (auto& t : running) t.join();
        }
    }

  private:
    std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::vector<Delayed> delayed_;
    std::vector<double> delays_;
};

}  // namespace vsc::test

#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/clock.h"

namespace vsc::test {

// A clock whose time moves only when the test advances it. Threads that sleep
// on it block until the virtual time reaches their deadline, so timing rules
// run exactly and instantly.
class VirtualClock final : public Clock {
  public:
    VirtualClock() : now_(WallTime(std::chrono::hours(24 * 365 * 50))) {}

    WallTime now() override {
        std::lock_guard<std::mutex> hold(mutex_);
        return now_;
    }

    void sleepFor(Seconds duration) override {
        std::unique_lock<std::mutex> hold(mutex_);
        WallTime due = now_ + std::chrono::duration_cast<WallTime::duration>(duration);
        ++sleepers_;
        ++entered_;
        changed_.notify_all();
        changed_.wait(hold, [&] { return finished_ || now_ >= due; });
        --sleepers_;
        changed_.notify_all();
    }

    void advance(Seconds duration) {
        std::lock_guard<std::mutex> hold(mutex_);
        now_ += std::chrono::duration_cast<WallTime::duration>(duration);
        changed_.notify_all();
    }

    // Waits (in real time, bounded) until at least n threads sleep on this clock.
    bool waitForSleepers(int n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, limit, [&] { return sleepers_ >= n; });
    }

    // Waits (in real time, bounded) until sleepFor has been called n times in
    // all; a thread that went back to sleep after an advance shows up here.
    bool waitForEntered(std::uint64_t n,
                        std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, limit, [&] { return entered_ >= n; });
    }

    std::uint64_t entered() {
        std::lock_guard<std::mutex> hold(mutex_);
        return entered_;
    }

    // From now on every sleep returns at once (used when a test winds down).
    void finish() {
        std::lock_guard<std::mutex> hold(mutex_);
        finished_ = true;
        changed_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    WallTime now_;
    int sleepers_ = 0;
    std::uint64_t entered_ = 0;
    bool finished_ = false;
};

}  // namespace vsc::test

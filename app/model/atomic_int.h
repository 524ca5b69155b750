#pragma once

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <mutex>

namespace vsc {

// A lock-protected signed 64-bit cell shared between worker threads and the
// main thread; every operation is one short critical section.
class AtomicInt {
  public:
    std::int64_t load() {
        std::lock_guard<std::mutex> hold(lock_);
        return value_;
    }
    void store(std::int64_t value) {
        std::lock_guard<std::mutex> hold(lock_);
        value_ = value;
    }
    void increment() {
        std::lock_guard<std::mutex> hold(lock_);
        if (value_ == std::numeric_limits<std::int64_t>::max()) std::abort();
        ++value_;
    }
    // Reads the value and resets it to 0 in the same step.
    std::int64_t take() {
        std::lock_guard<std::mutex> hold(lock_);
        std::int64_t value = value_;
        value_ = 0;
        return value;
    }

  private:
    std::mutex lock_;
    std::int64_t value_ = 0;
};

}  // namespace vsc

#pragma once

#include <chrono>

namespace vsc {

using WallTime = std::chrono::system_clock::time_point;
using Seconds = std::chrono::duration<double>;

// The time source of the workers. Real code runs on the system clock; tests run
// the same code on a virtual clock whose time only moves when the test says so.
class Clock {
  public:
    virtual ~Clock() = default;
    // Wall-clock now.
    virtual WallTime now() = 0;
    // Blocks the calling thread for the given time.
    virtual void sleepFor(Seconds duration) = 0;
};

class SystemClock final : public Clock {
  public:
    WallTime now() override;
    void sleepFor(Seconds duration) override;
    static Clock& shared();
};

inline double secondsBetween(WallTime from, WallTime to) {
    return std::chrono::duration_cast<Seconds>(to - from).count();
}

}  // namespace vsc

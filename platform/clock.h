#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>

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

// The monotonic clock (CLOCK_MONOTONIC) in nanoseconds: host time for
// pictures and sound, the same in every process of the machine.
inline std::uint64_t monotonicNanoseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

inline double secondsBetween(WallTime from, WallTime to) {
    return std::chrono::duration_cast<Seconds>(to - from).count();
}

}  // namespace vsc

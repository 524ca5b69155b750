#include <thread>

#include "platform/clock.h"

namespace vsc {

WallTime SystemClock::now() {
    return std::chrono::system_clock::now();
}

void SystemClock::sleepFor(Seconds duration) {
    std::this_thread::sleep_for(duration);
}

Clock& SystemClock::shared() {
    static SystemClock clock;
    return clock;
}

}  // namespace vsc

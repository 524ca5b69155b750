#pragma once

// Time the hypervisor gives a virtual processor of this machine to another
// guest: the "steal" column of /proc/stat, sampled every 50 ms. A process
// that is not run for tens of milliseconds misses its audio cycle whatever
// its priority; no program on the machine can prevent that gap, and a test
// that hears one can ask whether the machine itself was stopped then.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vsc::test {

class StealWatch {
    using Steady = std::chrono::steady_clock;

  public:
    StealWatch() : thread_([this] { run(); }) {}
    ~StealWatch() {
        stop_ = true;
        thread_.join();
    }
    StealWatch(const StealWatch&) = delete;
    StealWatch& operator=(const StealWatch&) = delete;

    // The most milliseconds one processor lost from `halfWindow` before `at`
    // to `halfWindow` after it (10 ms steps on most kernels).
    double stolenAround(Steady::time_point at, std::chrono::milliseconds halfWindow) {
        return stolen(at - halfWindow, at + halfWindow, false);
    }
    // The milliseconds all processors together lost between `from` and `to`:
    // how long the machine's programs could not run, whichever processor
    // they were on.
    double stolenBetween(Steady::time_point from, Steady::time_point to) {
        return stolen(from, to, true);
    }

  private:
    struct Sample {
        Steady::time_point at;
        std::vector<long long> ticks;  // per processor
    };

    double stolen(Steady::time_point from, Steady::time_point to, bool summed) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (samples_.empty()) return 0;
        // From the last sample before the window to the first one after it.
        const Sample* first = &samples_.front();
        const Sample* last = &samples_.back();
        for (const auto& s : samples_)
            if (s.at <= from) first = &s;
        for (auto s = samples_.rbegin(); s != samples_.rend(); ++s)
            if (s->at >= to) last = &*s;
        long long most = 0, sum = 0;
        for (std::size_t cpu = 0; cpu < std::min(first->ticks.size(), last->ticks.size()); ++cpu) {
            most = std::max(most, last->ticks[cpu] - first->ticks[cpu]);
            sum += last->ticks[cpu] - first->ticks[cpu];
        }
        return static_cast<double>(summed ? sum : most) * 1000.0 /
               static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

    static std::vector<long long> read() {
        std::ifstream in("/proc/stat");
        std::vector<long long> ticks;
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("cpu", 0) != 0 || line.size() < 4 || line[3] == ' ') continue;
            std::istringstream fields(line);
            std::string name;
            long long value = 0;
            fields >> name;
            for (int i = 0; i < 8 && fields >> value; ++i) {
            }
            ticks.push_back(value);  // the eighth: steal
        }
        return ticks;
    }

    void run() {
        while (!stop_) {
            Sample sample{Steady::now(), read()};
            {
                std::lock_guard<std::mutex> hold(mutex_);
                samples_.push_back(std::move(sample));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Sample> samples_;
    std::thread thread_;
};

}  // namespace vsc::test

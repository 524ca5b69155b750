#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace vsc::test {

// Polls a condition in real time until it holds or the limit passes. Used only
// to wait for work on other threads to happen, never to let a timing rule pass.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto until = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace vsc::test

// A bounded real-time wait for tests whose condition is met by another thread.
#pragma once

#include <chrono>
#include <thread>

// Waits (real time, at most 20 s) until the condition holds; false if it never did.
template <typename Condition>
bool Eventually(Condition condition)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

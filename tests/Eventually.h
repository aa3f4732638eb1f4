#pragma once

#include <chrono>
#include <thread>

// Waits for a condition that another thread or process brings about; gives whether it came in
// time. The deadline is generous: it only bounds a test that has already failed.
template <class Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    for (auto end = std::chrono::steady_clock::now() + deadline; !condition();) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

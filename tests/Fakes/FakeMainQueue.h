#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include "Platform/MainQueue.h"

// Holds posted work until the test runs it.
class FakeMainQueue : public platform::MainQueue {
public:
    void async(std::function<void()> work) override {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }

    std::size_t pending() {
        std::lock_guard lock(mutex_);
        return work_.size();
    }

    // Runs everything posted so far, and whatever that posts in turn; gives how many items ran.
    int runAll() {
        int ran = 0;
        for (;;) {
            std::function<void()> work;
            {
                std::lock_guard lock(mutex_);
                if (work_.empty()) {
                    return ran;
                }
                work = std::move(work_.front());
                work_.pop_front();
            }
            work();
            ++ran;
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
};

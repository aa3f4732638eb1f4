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

    // Runs everything posted so far, and whatever that posts in turn.
    void runAll() {
        for (std::function<void()> work; take(work);) {
            work();
        }
    }

private:
    bool take(std::function<void()>& work) {
        std::lock_guard lock(mutex_);
        if (work_.empty()) {
            return false;
        }
        work = std::move(work_.front());
        work_.pop_front();
        return true;
    }

    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
};

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
        for (std::unique_lock lock(mutex_); !work_.empty(); lock.lock()) {
            auto work = std::move(work_.front());
            work_.pop_front();
            lock.unlock();
            work();
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
};

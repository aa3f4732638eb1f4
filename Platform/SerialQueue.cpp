#include "Platform/SerialQueue.h"

#include <future>

void SerialQueue::async(std::function<void()> work) {
    std::function<void()> wakeUp;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        work_.push_back(std::move(work));
        wakeUp = wakeUp_;
    }
    ready_.notify_one();
    if (wakeUp) {
        wakeUp();
    }
}

void SerialQueue::setWakeUp(std::function<void()> wakeUp) {
    std::lock_guard lock(mutex_);
    wakeUp_ = std::move(wakeUp);
}

void SerialQueue::runPending() {
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (stopped_ || work_.empty()) {
                return;
            }
            work = std::move(work_.front());
            work_.pop_front();
        }
        work();
    }
}

bool SerialQueue::sync(std::function<void()> work) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    async([work = std::move(work), done] {
        work();
        done->set_value();
    });
    // A dropped item destroys its promise unfulfilled, which the future reports as broken.
    done.reset();
    try {
        future.get();
        return true;
    } catch (const std::future_error&) {
        return false;
    }
}

void SerialQueue::run() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopped_ || !work_.empty(); });
            if (stopped_) {
                return;
            }
            work = std::move(work_.front());
            work_.pop_front();
        }
        work();
    }
}

void SerialQueue::stop() {
    std::deque<std::function<void()>> dropped;
    std::function<void()> wakeUp;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        dropped.swap(work_);
        wakeUp.swap(wakeUp_);
    }
    ready_.notify_all();
}

#pragma once

#include <functional>
#include <mutex>

// One observer told that something changed, called outside any lock of the object that changed.
// Safe from any thread.
class ChangeNotifier {
public:
    void setObserver(std::function<void()> observer) {
        std::lock_guard lock(mutex_);
        observer_ = std::move(observer);
    }

    void notify() const {
        std::function<void()> observer;
        {
            std::lock_guard lock(mutex_);
            observer = observer_;
        }
        if (observer) {
            observer();
        }
    }

private:
    mutable std::mutex mutex_;
    std::function<void()> observer_;
};

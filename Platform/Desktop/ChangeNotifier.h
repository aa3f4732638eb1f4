#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

// One observer told that something changed, called outside any lock of the object that changed.
// Safe from any thread.
class ChangeNotifier {
public:
    // Replaces the observer and returns once no call of the one it replaced is still running, so
    // its owner may go away. Never call it from the observer itself.
    void setObserver(std::function<void()> observer) {
        std::unique_lock lock(mutex_);
        auto replaced = std::exchange(
            current_, observer ? std::make_shared<Observer>(std::move(observer)) : nullptr);
        finished_.wait(lock, [&replaced] { return !replaced || replaced->running == 0; });
    }

    void notify() const {
        std::shared_ptr<Observer> observer;
        {
            std::lock_guard lock(mutex_);
            if (!current_) {
                return;
            }
            observer = current_;
            ++observer->running;
        }
        observer->call();
        {
            std::lock_guard lock(mutex_);
            --observer->running;
        }
        finished_.notify_all();
    }

private:
    struct Observer {
        explicit Observer(std::function<void()> function) : call(std::move(function)) {}
        std::function<void()> call;
        int running = 0;  // guarded by the notifier's mutex
    };

    mutable std::mutex mutex_;
    mutable std::condition_variable finished_;
    std::shared_ptr<Observer> current_;
};

#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/FileOpener.h"
#include "Platform/MainQueue.h"

// Opens files with the command the user named (`--opener CMD`): it runs as `CMD PATH`, without a
// shell, and success is exit status 0. Without a command nothing can be opened. The shell never
// executes a downloaded file itself.
class CommandFileOpener : public platform::FileOpener {
public:
    CommandFileOpener(std::optional<std::string> command,
                      std::shared_ptr<platform::MainQueue> mainQueue);
    ~CommandFileOpener() override;
    CommandFileOpener(const CommandFileOpener&) = delete;
    CommandFileOpener& operator=(const CommandFileOpener&) = delete;

    // Stops waiting for commands still running (their completions are dropped) and joins.
    void stop();

    bool canOpen(const std::filesystem::path& file) const override;
    void open(const std::filesystem::path& file, std::function<void(bool)> completion) override;

private:
    struct Waiter {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    // Waits for the command on a thread of its own, so the main queue never blocks on it.
    void wait(int pid, std::function<void(bool)> completion,
              const std::shared_ptr<std::atomic<bool>>& done);
    void reapFinishedWaiters();

    std::optional<std::string> command_;
    std::shared_ptr<platform::MainQueue> mainQueue_;
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::vector<Waiter> waiters_;
};

#include "Platform/Desktop/CommandFileOpener.h"

#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>

#include "Platform/Log.h"

extern char** environ;

namespace {
constexpr auto pollInterval = std::chrono::milliseconds(20);
}

CommandFileOpener::CommandFileOpener(std::optional<std::string> command,
                                     std::shared_ptr<platform::MainQueue> mainQueue)
    : command_(std::move(command)), mainQueue_(std::move(mainQueue)) {}

CommandFileOpener::~CommandFileOpener() {
    stop();
}

void CommandFileOpener::stop() {
    stopping_ = true;
    std::lock_guard lock(mutex_);
    for (auto& waiter : waiters_) {
        waiter.thread.join();
    }
    waiters_.clear();
}

bool CommandFileOpener::canOpen(const std::filesystem::path&) const {
    return command_.has_value();
}

void CommandFileOpener::open(const std::filesystem::path& file,
                             std::function<void(bool)> completion) {
    if (!command_) {
        mainQueue_->async([completion = std::move(completion)] { completion(false); });
        return;
    }
    std::string path = file.string();
    char* arguments[] = {command_->data(), path.data(), nullptr};
    pid_t pid = 0;
    int error = ::posix_spawnp(&pid, command_->c_str(), nullptr, nullptr, arguments, environ);
    if (error != 0) {
        platform::log("cannot run the opener " + *command_ + ": " + std::strerror(error));
        mainQueue_->async([completion = std::move(completion)] { completion(false); });
        return;
    }
    reapFinishedWaiters();
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard lock(mutex_);
    waiters_.push_back({std::thread([this, pid, completion = std::move(completion),
                                     done]() mutable { wait(pid, std::move(completion), done); }),
                        done});
}

void CommandFileOpener::wait(int pid, std::function<void(bool)> completion,
                             const std::shared_ptr<std::atomic<bool>>& done) {
    int status = 0;
    pid_t waited = 0;
    // Polled rather than blocked on, so that quitting never waits for a slow opener.
    while ((waited = ::waitpid(pid, &status, WNOHANG)) == 0 && !stopping_) {
        std::this_thread::sleep_for(pollInterval);
    }
    if (waited == pid) {
        bool opened = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        mainQueue_->async([completion = std::move(completion), opened] { completion(opened); });
    }
    *done = true;
}

void CommandFileOpener::reapFinishedWaiters() {
    std::lock_guard lock(mutex_);
    std::erase_if(waiters_, [](Waiter& waiter) {
        if (!*waiter.done) {
            return false;
        }
        waiter.thread.join();
        return true;
    });
}

#include "Platform/Desktop/CommandFileOpener.h"

#include <sys/wait.h>

#include <chrono>
#include <cstring>

#include "Platform/Log.h"
#include "Platform/SpawnProcess.h"

namespace {
// Children are polled rather than blocked on, so that quitting never waits for a slow opener.
constexpr auto pollInterval = std::chrono::milliseconds(20);
}  // namespace

CommandFileOpener::CommandFileOpener(std::optional<std::string> command,
                                     std::shared_ptr<platform::MainQueue> mainQueue)
    : command_(std::move(command)), mainQueue_(std::move(mainQueue)) {}

CommandFileOpener::~CommandFileOpener() {
    stop();
}

void CommandFileOpener::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        waiting_.clear();
    }
    changed_.notify_all();
    if (watcher_.joinable()) {
        watcher_.join();
    }
}

bool CommandFileOpener::canOpen(const std::filesystem::path&) const {
    return command_.has_value();
}

void CommandFileOpener::open(const std::filesystem::path& file,
                             std::function<void(bool)> completion) {
    if (!command_) {
        report(std::move(completion), false);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        waiting_.push_back({file.string(), std::move(completion)});
        if (!watcher_.joinable()) {
            watcher_ = std::thread([this] { watch(); });
        }
    }
    changed_.notify_all();
}

void CommandFileOpener::watch() {
    for (;;) {
        for (Request& failed : startWaiting()) {
            report(std::move(failed.completion), false);
        }
        for (auto& [ended, opened] : takeEnded()) {
            report(std::move(ended.completion), opened);
        }
        std::unique_lock lock(mutex_);
        if (stopping_) {
            return;
        }
        if (running_.empty()) {
            changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        } else {
            changed_.wait_for(lock, pollInterval);
        }
    }
}

std::vector<CommandFileOpener::Request> CommandFileOpener::startWaiting() {
    std::vector<Request> failed;
    std::lock_guard lock(mutex_);
    while (!waiting_.empty() && running_.size() < maxRunning && !stopping_) {
        Request request = std::move(waiting_.front());
        waiting_.pop_front();
        char* arguments[] = {command_->data(), request.path.data(), nullptr};
        pid_t pid = 0;
        int error = platform::spawnProcess(pid, command_->c_str(), arguments);
        if (error != 0) {
            platform::log("cannot run the opener " + *command_ + ": " + std::strerror(error));
            failed.push_back(std::move(request));
            continue;
        }
        running_.push_back({pid, std::move(request.completion)});
    }
    return failed;
}

std::vector<std::pair<CommandFileOpener::Running, bool>> CommandFileOpener::takeEnded() {
    std::vector<std::pair<Running, bool>> ended;
    std::erase_if(running_, [&ended](Running& running) {
        int status = 0;
        pid_t waited = ::waitpid(running.pid, &status, WNOHANG);
        if (waited == 0) {
            return false;
        }
        bool opened = waited == running.pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        ended.emplace_back(std::move(running), opened);
        return true;
    });
    return ended;
}

void CommandFileOpener::report(std::function<void(bool)> completion, bool opened) {
    mainQueue_->async([completion = std::move(completion), opened] { completion(opened); });
}

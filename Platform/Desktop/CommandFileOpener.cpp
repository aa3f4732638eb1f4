#include "Platform/Desktop/CommandFileOpener.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "Platform/Log.h"
#include "Platform/Posix/SpawnProcess.h"

namespace {
// Where the kernel gives no descriptor to wait on, the watcher polls instead.
constexpr int pollMilliseconds = 20;
}  // namespace

CommandFileOpener::CommandFileOpener(std::optional<std::string> command,
                                     std::shared_ptr<platform::MainQueue> mainQueue)
    : command_(std::move(command)),
      mainQueue_(std::move(mainQueue)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CommandFileOpener::~CommandFileOpener() {
    stop();
}

void CommandFileOpener::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        waiting_.clear();
    }
    wake();
    if (watcher_.joinable()) {
        watcher_.join();
    }
}

void CommandFileOpener::wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_.get(), &one, sizeof one);
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
    wake();
}

void CommandFileOpener::watch() {
    for (;;) {
        // Ended commands first: the places they leave are filled before the wait, which no
        // ended command would end once none is left running.
        for (auto& [ended, opened] : takeEnded()) {
            report(std::move(ended.completion), opened);
        }
        for (Request& failed : startWaiting()) {
            report(std::move(failed.completion), false);
        }
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
        }
        // Blocks until a command ends, a request comes or stop() is called: quitting never
        // waits for a slow command.
        std::vector<pollfd> watched = {{wake_.get(), POLLIN, 0}};
        int timeout = wake_.valid() ? -1 : pollMilliseconds;
        for (const Running& running : running_) {
            watched.push_back({running.child.ended(), POLLIN, 0});
            timeout = running.child.ended() >= 0 ? timeout : pollMilliseconds;
        }
        if (::poll(watched.data(), watched.size(), timeout) > 0 &&
            (watched[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t ignored = ::read(wake_.get(), &count, sizeof count);
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
        running_.push_back({posix::ChildProcess(pid), std::move(request.completion)});
    }
    return failed;
}

std::vector<std::pair<CommandFileOpener::Running, bool>> CommandFileOpener::takeEnded() {
    std::vector<std::pair<Running, bool>> ended;
    std::erase_if(running_, [&ended](Running& running) {
        std::optional<bool> opened = running.child.reap();
        if (opened) {
            ended.emplace_back(std::move(running), *opened);
        }
        return opened.has_value();
    });
    return ended;
}

void CommandFileOpener::report(std::function<void(bool)> completion, bool opened) {
    mainQueue_->async([completion = std::move(completion), opened] { completion(opened); });
}

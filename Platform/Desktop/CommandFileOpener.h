#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/FileOpener.h"
#include "Platform/MainQueue.h"
#include "Platform/Posix/ChildProcess.h"
#include "Platform/Posix/FileDescriptor.h"

// Opens files with the command the user named (`--opener CMD`): it runs as `CMD PATH`, without a
// shell, and success is exit status 0. Without a command nothing can be opened. The shell never
// executes a downloaded file itself.
//
// At most `maxRunning` commands run at once; later requests wait their turn, in order. One
// watcher thread starts them and waits for them, without polling, so the main queue never blocks
// on a command.
class CommandFileOpener : public platform::FileOpener {
public:
    static constexpr std::size_t maxRunning = 4;

    CommandFileOpener(std::optional<std::string> command,
                      std::shared_ptr<platform::MainQueue> mainQueue);
    ~CommandFileOpener() override;
    CommandFileOpener(const CommandFileOpener&) = delete;
    CommandFileOpener& operator=(const CommandFileOpener&) = delete;

    // Stops waiting for commands still running and drops those not yet started (no completion
    // runs for either), and joins the watcher.
    void stop();

    bool canOpen(const std::filesystem::path& file) const override;
    void open(const std::filesystem::path& file, std::function<void(bool)> completion) override;

private:
    struct Request {
        std::string path;
        std::function<void(bool)> completion;
    };
    struct Running {
        posix::ChildProcess child;
        std::function<void(bool)> completion;
    };

    void wake();
    void watch();
    // Starts waiting requests while there is room; gives those that could not be started.
    std::vector<Request> startWaiting();
    // Takes the commands that have ended, with whether each succeeded.
    std::vector<std::pair<Running, bool>> takeEnded();
    void report(std::function<void(bool)> completion, bool opened);

    std::optional<std::string> command_;
    std::shared_ptr<platform::MainQueue> mainQueue_;
    FileDescriptor wake_;  // readable once a request comes or stop() is called
    std::mutex mutex_;
    bool stopping_ = false;
    std::deque<Request> waiting_;
    std::vector<Running> running_;  // watcher thread only
    std::thread watcher_;
};

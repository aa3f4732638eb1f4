#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "Eventually.h"
#include "Platform/Desktop/ChangeNotifier.h"
#include "Platform/Desktop/DesktopRemoteCommandCenter.h"
#include "Platform/Desktop/StandardOutputConsole.h"
#include "Platform/SerialQueue.h"

namespace {

// Whether a thread of this process is blocked, rather than running or ready to run.
bool isAsleep(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string text{std::istreambuf_iterator<char>(stat), {}};
    std::size_t name = text.rfind(')');
    return name != std::string::npos && name + 2 < text.size() && text[name + 2] == 'S';
}

// The media controls remove their observers from the desktop centers before they go away: a
// notification already running the observer must finish before removal returns. The observer is
// held until the removing thread has either returned or blocked, whatever the scheduling.
TEST(ChangeNotifierTest, RemovingAnObserverWaitsForTheCallStillRunningIt) {
    ChangeNotifier notifier;
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> removed{false};
    bool removedWhileRunning = true;
    int calls = 0;
    notifier.setObserver([&] {
        ++calls;
        entered.set_value();
        release.get_future().wait();
        removedWhileRunning = removed;
    });
    std::thread notification([&] { notifier.notify(); });
    entered.get_future().wait();

    std::atomic<pid_t> remover{0};
    std::thread removal([&] {
        remover = ::gettid();
        notifier.setObserver({});
        removed = true;
    });
    EXPECT_TRUE(eventually([&] { return removed || (remover != 0 && isAsleep(remover)); }));
    release.set_value();
    notification.join();
    removal.join();
    EXPECT_FALSE(removedWhileRunning);

    notifier.notify();
    EXPECT_EQ(calls, 1);
}

// Disabled commands and commands without a handler give no status, as the stdio protocol's
// null; with several handlers the last one's status counts.
TEST(DesktopRemoteCommandCenterTest, SendsOnlyToEnabledCommandsWithHandlers) {
    using platform::RemoteCommand;
    using Status = platform::RemoteCommandHandlerStatus;
    DesktopRemoteCommandCenter center;
    auto answer = [](Status status) {
        return [status](const platform::RemoteCommandEvent&) { return status; };
    };
    center.setEnabled(RemoteCommand::play, true);
    EXPECT_EQ(center.send({RemoteCommand::play, {}}), std::nullopt);
    center.addTarget(RemoteCommand::play, answer(Status::noSuchContent));
    center.addTarget(RemoteCommand::play, answer(Status::success));
    EXPECT_EQ(center.send({RemoteCommand::play, {}}), Status::success);
    center.setEnabled(RemoteCommand::play, false);
    EXPECT_EQ(center.send({RemoteCommand::play, {}}), std::nullopt);
    center.addTarget(RemoteCommand::pause, answer(Status::success));
    EXPECT_EQ(center.send({RemoteCommand::pause, {}}), std::nullopt);
}

TEST(SerialQueueTest, AfterStopNothingRunsAndSyncReturnsFalse) {
    SerialQueue queue;
    std::vector<int> ran;
    std::thread loop([&] { queue.run(); });
    EXPECT_TRUE(queue.sync([&] { ran.push_back(1); }));
    queue.stop();
    loop.join();
    queue.async([&] { ran.push_back(2); });
    EXPECT_FALSE(queue.sync([&] { ran.push_back(3); }));
    EXPECT_EQ(ran, std::vector<int>{1});
}

// A line far larger than a pipe holds is written in many pieces; each must resume where the
// last one ended.
TEST(StandardOutputConsoleTest, WritesALongLineWholeThroughAPipe) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        ssize_t got;
        while ((got = ::read(ends[0], buffer, sizeof buffer)) > 0) {
            received.append(buffer, static_cast<std::size_t>(got));
        }
    });
    std::string first(300000, 'a');
    std::string second(300000, 'b');
    {
        StandardOutputConsole console(ends[1]);
        std::string_view pieces[] = {first, second};
        console.printLine(pieces);
        console.close();
        console.printLine("after close");
    }
    ::close(ends[1]);
    reader.join();
    ::close(ends[0]);
    EXPECT_TRUE(received == first + second + "\n") << received.size();
}

}  // namespace

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "Eventually.h"
#include "Platform/Desktop/ChangeNotifier.h"

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

}  // namespace

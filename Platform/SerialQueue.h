#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "Platform/MainQueue.h"

// A queue of work run one item at a time, in order, on whichever thread calls `run`. The host's
// main loop is one; the bridge's delivery thread runs another.
class SerialQueue : public platform::MainQueue {
public:
    // Safe from any thread; work posted after `stop` is dropped.
    void async(std::function<void()> work) override;
    // Runs `work` on the queue's thread and waits for it; false when the queue stopped first.
    // Never call from the queue's own thread.
    bool sync(std::function<void()> work);
    // Runs work on the calling thread until `stop`.
    void run();
    // For a main loop of another kind (GTK's), which turns this queue instead of `run`:
    // `wakeUp` is called from the posting thread each time work is queued, and the loop then
    // calls `runPending` on its own thread, which runs what is queued and returns.
    void setWakeUp(std::function<void()> wakeUp);
    void runPending();
    // Ends `run` after the item running now; pending work is dropped. Safe from any thread.
    void stop();

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> work_;
    bool stopped_ = false;
    std::function<void()> wakeUp_;
};

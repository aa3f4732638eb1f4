#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "Platform/MainQueue.h"

namespace host {

// The main queue of a windowed application: work runs on the thread that turns GLib's default
// main context (GTK's main loop), one item at a time, in the order posted.
class GlibMainQueue : public platform::MainQueue {
public:
    GlibMainQueue();
    ~GlibMainQueue() override;
    GlibMainQueue(const GlibMainQueue&) = delete;
    GlibMainQueue& operator=(const GlibMainQueue&) = delete;

    // Safe from any thread; work posted after `stop` is dropped, and so is work still waiting
    // when `stop` is called.
    void async(std::function<void()> work) override;
    // Safe from any thread.
    void stop();

private:
    // Shared with the work still waiting, which may outlive the queue.
    std::shared_ptr<std::atomic<bool>> stopped_;
};

}  // namespace host

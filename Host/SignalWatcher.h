#pragma once

#include <functional>
#include <thread>

namespace host {

// Turns SIGINT and SIGTERM into a call on a thread of its own. `blockSignals` must run on the
// main thread before any other thread starts, so that no other thread takes those signals.
class SignalWatcher {
public:
    static void blockSignals();

    explicit SignalWatcher(std::function<void()> onSignal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    std::thread thread_;
};

}  // namespace host

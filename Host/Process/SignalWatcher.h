#pragma once

#include <functional>
#include <system_error>
#include <thread>

#include "Platform/Posix/Pipe.h"

namespace host {

// Turns SIGINT and SIGTERM into a call on a thread of its own. `blockSignals`, on the main thread
// before it starts others, keeps those signals from interrupting the host's own threads. A thread
// a library started before main (WebKit starts one as it loads) may still take one: a handler
// passes it on to the watcher, so it never ends the process unannounced. One watcher at a time.
class SignalWatcher {
public:
    static void blockSignals();

    explicit SignalWatcher(std::function<void()> onSignal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    posix::Pipe pipe_;
    std::thread thread_;
};

}  // namespace host

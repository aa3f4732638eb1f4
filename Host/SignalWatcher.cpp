#include "Host/SignalWatcher.h"

#include <pthread.h>
#include <csignal>

namespace host {

namespace {
// SIGUSR1 only ever comes from the watcher's owner, to end the watch.
sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}
}  // namespace

void SignalWatcher::blockSignals() {
    sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client that closes its end of standard output makes writes fail, not kill the host.
    std::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(std::function<void()> onSignal)
    : thread_([onSignal = std::move(onSignal)] {
          sigset_t set = watchedSignals();
          int signal = 0;
          while (sigwait(&set, &signal) != 0) {
          }
          if (signal != SIGUSR1) {
              onSignal();
          }
      }) {}

SignalWatcher::~SignalWatcher() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
}

}  // namespace host

#include "Host/Process/SignalWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace host {

namespace {
constexpr int watchedSignals[] = {SIGINT, SIGTERM};
// The byte that ends the watch; any other is a signal's number.
constexpr unsigned char endOfWatch = 0;

// The pipe's write end, for the handler, which can reach nothing else.
int signalPipe = -1;

extern "C" void forwardSignal(int signal) {
    int savedErrno = errno;
    auto byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] auto written = ::write(signalPipe, &byte, 1);
    errno = savedErrno;
}

sigset_t watchedSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : watchedSignals) {
        sigaddset(&set, signal);
    }
    return set;
}

void handleWatchedSignals(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : watchedSignals) {
        ::sigaction(signal, &action, nullptr);
    }
}
}  // namespace

void SignalWatcher::blockSignals() {
    sigset_t set = watchedSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A client that closes its end of standard output makes writes fail, not kill the host.
    std::signal(SIGPIPE, SIG_IGN);
}

SignalWatcher::SignalWatcher(std::function<void()> onSignal) {
    auto pipe = posix::Pipe::open();
    if (!pipe) {
        throw std::system_error(errno, std::generic_category(), "signal pipe");
    }
    pipe_ = std::move(*pipe);
    signalPipe = pipe_.write.get();
    handleWatchedSignals(forwardSignal);
    thread_ = std::thread([readEnd = pipe_.read.get(), onSignal = std::move(onSignal)] {
        sigset_t set = watchedSet();
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        // Waiting in poll, not read: ThreadSanitizer runs a handler only inside a call it knows
        // to block, and a read the kernel restarts after the handler would wait for ever.
        pollfd readable{readEnd, POLLIN, 0};
        while (::poll(&readable, 1, -1) < 0 && errno == EINTR) {
        }
        unsigned char byte = endOfWatch;
        [[maybe_unused]] auto got = ::read(readEnd, &byte, 1);
        if (byte != endOfWatch) {
            onSignal();
        }
    });
}

SignalWatcher::~SignalWatcher() {
    // From here on the application is ending anyway: a late signal changes nothing.
    handleWatchedSignals(SIG_IGN);
    pipe_.wake(endOfWatch);
    thread_.join();
    signalPipe = -1;
}

}  // namespace host

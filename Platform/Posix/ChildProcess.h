#pragma once

#include <sys/types.h>

#include <optional>

#include "Platform/Posix/FileDescriptor.h"

namespace posix {

// A child process of ours, with a descriptor that becomes readable when it ends, so that a
// watcher waits for it in poll() instead of polling. Kernels before 5.3 give no such descriptor:
// `ended()` is then -1 and the watcher must look again now and then.
class ChildProcess {
public:
    explicit ChildProcess(pid_t pid);

    // Readable once the child has ended; -1 without one.
    int ended() const { return ended_.get(); }
    // Nothing while it runs; once it has ended (and is reaped), whether it exited with status 0.
    std::optional<bool> reap();

private:
    pid_t pid_;
    FileDescriptor ended_;
};

}  // namespace posix

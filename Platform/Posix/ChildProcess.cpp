#include "Platform/Posix/ChildProcess.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace posix {

ChildProcess::ChildProcess(pid_t pid)
    : pid_(pid), ended_(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))) {}

std::optional<bool> ChildProcess::reap() {
    int status = 0;
    pid_t waited = ::waitpid(pid_, &status, WNOHANG);
    if (waited == 0) {
        return std::nullopt;
    }
    return waited == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace posix

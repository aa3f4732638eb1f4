#include "Host/Process/ContainerLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "Platform/Log.h"

namespace host {

std::optional<ContainerLock> ContainerLock::acquire(const std::filesystem::path& root) {
    std::error_code error;
    std::filesystem::create_directories(root, error);
    auto file = root / ".musicshell.lock";
    // A link in its place, dangling or not, would have the lock made or taken outside the
    // container; it is refused and left for the user to look at.
    FileDescriptor fd(::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        int reason = errno;
        platform::log("cannot lock the container " + root.string() + ": " +
                      (reason == ELOOP ? file.string() + " is a symbolic link; remove it"
                                       : std::strerror(reason)));
        return std::nullopt;
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        int reason = errno;
        platform::log(reason == EWOULDBLOCK
                          ? "the container " + root.string() +
                                " is in use by another musicshell; give another with --container"
                          : "cannot lock the container " + root.string() + ": " +
                                std::strerror(reason));
        return std::nullopt;
    }
    return ContainerLock(std::move(fd));
}

}  // namespace host

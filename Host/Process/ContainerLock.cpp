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
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        platform::log("cannot lock the container " + root.string() + ": " + std::strerror(errno));
        return std::nullopt;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int reason = errno;
        ::close(fd);
        platform::log(reason == EWOULDBLOCK
                          ? "the container " + root.string() +
                                " is in use by another musicshell; give another with --container"
                          : "cannot lock the container " + root.string() + ": " +
                                std::strerror(reason));
        return std::nullopt;
    }
    return ContainerLock(fd);
}

ContainerLock::ContainerLock(ContainerLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ContainerLock& ContainerLock::operator=(ContainerLock&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
}

ContainerLock::~ContainerLock() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

}  // namespace host

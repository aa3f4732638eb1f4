#pragma once

#include <filesystem>
#include <optional>

namespace host {

// Claims a container for one process, so that two never sweep each other's scratch files. The
// claim is an advisory lock on a file in the container, which the system drops when the process
// ends, however it ends.
class ContainerLock {
public:
    // Makes the container's root when missing. Gives nothing, after logging why, when another
    // process holds the container, a symbolic link stands where the lock file goes, or the lock
    // cannot be taken.
    static std::optional<ContainerLock> acquire(const std::filesystem::path& root);
    ~ContainerLock();
    ContainerLock(ContainerLock&& other) noexcept;
    ContainerLock& operator=(ContainerLock&& other) noexcept;
    ContainerLock(const ContainerLock&) = delete;
    ContainerLock& operator=(const ContainerLock&) = delete;

private:
    explicit ContainerLock(int fd) : fd_(fd) {}

    int fd_ = -1;
};

}  // namespace host

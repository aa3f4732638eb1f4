#pragma once

#include <filesystem>
#include <optional>
#include <utility>

#include "Platform/Posix/FileDescriptor.h"

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

private:
    explicit ContainerLock(FileDescriptor fd) : fd_(std::move(fd)) {}

    FileDescriptor fd_;
};

}  // namespace host

#pragma once

#include <filesystem>

#include "Platform/Posix/FileDescriptor.h"

namespace posix {

// A path opened beneath a folder, or where and why it could not be.
struct Beneath {
    FileDescriptor fd;             // valid once opened
    int number = 0;                // otherwise the errno
    std::filesystem::path failed;  // the part of the path up to the component that failed
    bool failedOnLink = false;     // that component is a symbolic link
};

// Opens `inside`, a relative path, beneath the folder `root`, following no symbolic link on the
// way or at the end and never leaving `root` (a "..", or a path from "/", is refused with EXDEV):
// whoever can write into the folder can plant links there. `flags` are open(2)'s for the last
// component, without O_CREAT (O_NOFOLLOW and O_CLOEXEC are added); the components before it are
// opened as folders. With `makeFolders` the missing ones are made on the way, the last too (then
// `flags` must open a folder). An empty path or "." opens `root` again.
// One openat2 call; on failure, or a kernel without openat2, the walk below answers.
Beneath openBeneath(int root, const std::filesystem::path& inside, int flags,
                    bool makeFolders = false);
// The same one component at a time with O_NOFOLLOW: what kernels before 5.6 have, and what
// tells which component failed.
Beneath walkBeneath(int root, const std::filesystem::path& inside, int flags,
                    bool makeFolders = false);

}  // namespace posix

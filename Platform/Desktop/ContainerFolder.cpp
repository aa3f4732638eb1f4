#include "Platform/Desktop/ContainerFolder.h"

#include <fcntl.h>

#include <cerrno>

#include "Platform/Posix/OpenBeneath.h"
#include "Platform/Posix/SystemError.h"

platform::Result<FileDescriptor> openContainerFolder(const std::filesystem::path& root,
                                                     const std::filesystem::path& inside,
                                                     bool create) {
    FileDescriptor top(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!top.valid()) {
        return systemError(errno, root);
    }
    auto opened = posix::openBeneath(top.get(), inside, O_RDONLY | O_DIRECTORY, create);
    if (opened.fd.valid()) {
        return std::move(opened.fd);
    }
    if (opened.number == ENOTDIR && opened.failedOnLink) {
        return platform::Error{opened.failed.string() + " is a symbolic link, not a folder",
                               platform::Error::Kind::linkedFolder, root / opened.failed};
    }
    return systemError(opened.number, root / opened.failed);
}

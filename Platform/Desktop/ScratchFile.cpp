#include "Platform/Desktop/ScratchFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "Platform/Desktop/ContainerFolder.h"
#include "Platform/Posix/RandomHex.h"
#include "Platform/Posix/SystemError.h"

namespace fs = std::filesystem;
using platform::Error;

const fs::path ScratchFile::location = "Library/.musicshell-writes";

platform::Result<ScratchFile> ScratchFile::open(const fs::path& root) {
    auto opened = openContainerFolder(root, location, true);
    if (!opened.ok()) {
        return opened.error();
    }
    std::string name = randomHex(8);
    FileDescriptor fd(::openat(opened.value().get(), name.c_str(),
                               O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        return systemError(errno, root / location / name);
    }
    return ScratchFile(std::move(opened.value()), std::move(name), std::move(fd));
}

std::optional<Error> ScratchFile::syncFolder(int folder, const fs::path& path) {
    if (::fsync(folder) != 0) {
        return systemError(errno, path);
    }
    return std::nullopt;
}

ScratchFile::~ScratchFile() {
    if (fd_.valid()) {
        ::unlinkat(folder_.get(), name_.c_str(), 0);
    }
}

std::optional<Error> ScratchFile::placeAt(const Place& target) {
    std::optional<Error> error;
    if (::fsync(fd_.get()) != 0) {
        error = systemError(errno);
    }
    if (!error) {
        error = fd_.close();
    }
    if (!error &&
        ::renameat(folder_.get(), name_.c_str(), target.folder.get(), target.name.c_str()) != 0) {
        error = systemError(errno);
    }
    if (error) {
        ::unlinkat(folder_.get(), name_.c_str(), 0);
        error->path = target.path;
        return error;
    }
    return syncFolder(target.folder.get(), target.path);
}

#include "Platform/Desktop/DescriptorFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "Platform/Posix/SystemError.h"

platform::Result<std::string> DescriptorFile::readWhole(int fd, const std::filesystem::path& path) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return systemError(errno, path);
    }
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)));
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            // The file may have grown since it was measured.
            bytes.resize(bytes.size() + 65536);
        }
        ssize_t got =
            ::pread(fd, bytes.data() + filled, bytes.size() - filled, static_cast<off_t>(filled));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return systemError(errno, path);
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return bytes;
}

platform::Result<std::size_t> DescriptorFile::read(char* into, std::size_t size) {
    for (;;) {
        ssize_t got = ::read(fd_.get(), into, size);
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            return systemError(errno);
        }
    }
}

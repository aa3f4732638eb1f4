#include "Platform/Posix/FileDescriptor.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "Platform/Posix/SystemError.h"

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

int FileDescriptor::release() {
    return std::exchange(fd_, -1);
}

std::optional<platform::Error> FileDescriptor::close() {
    if (::close(std::exchange(fd_, -1)) != 0) {
        return systemError(errno);
    }
    return std::nullopt;
}

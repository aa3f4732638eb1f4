#include "Platform/Desktop/FileDescriptor.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "Platform/Desktop/SystemError.h"

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

std::optional<platform::Error> FileDescriptor::close() {
    if (::close(std::exchange(fd_, -1)) != 0) {
        return systemError(errno);
    }
    return std::nullopt;
}

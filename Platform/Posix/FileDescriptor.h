#pragma once

#include <optional>

#include "Platform/Error.h"

// Owns a file descriptor and closes it when it goes out of scope.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor();
    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up to whoever takes it next (a socket object, a standard stream).
    int release();
    // Closes now, so that a late write error (a full disk on a network file system) is seen.
    [[nodiscard]] std::optional<platform::Error> close();

private:
    int fd_ = -1;
};

#pragma once

#include <optional>

#include "Platform/Posix/FileDescriptor.h"

namespace posix {

// Both ends of a pipe, closed on exec; a thread waiting in poll() on `read` is woken by a byte
// written to `write`.
struct Pipe {
    FileDescriptor read;
    FileDescriptor write;

    // Nothing, with errno set, when the system has no descriptor left.
    static std::optional<Pipe> open();
    // Writes one byte, ignoring a full pipe: a waiter already has one to wake to.
    void wake(unsigned char byte = 0) const;
};

}  // namespace posix

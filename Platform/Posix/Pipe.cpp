#include "Platform/Posix/Pipe.h"

#include <fcntl.h>
#include <unistd.h>

namespace posix {

std::optional<Pipe> Pipe::open() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    return Pipe{FileDescriptor(ends[0]), FileDescriptor(ends[1])};
}

void Pipe::wake(unsigned char byte) const {
    [[maybe_unused]] ssize_t ignored = ::write(write.get(), &byte, 1);
}

}  // namespace posix

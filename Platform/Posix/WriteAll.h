#pragma once

#include <sys/uio.h>

#include <string_view>
#include <vector>

namespace posix {

// Writes every byte, resuming after partial writes and interruptions. Gives 0, or the errno of
// the write that failed.
int writeAll(int fd, std::string_view bytes);
// The same for pieces gathered in one write where they fit; the vectors are used up.
int writeAll(int fd, std::vector<iovec>& vectors);

}  // namespace posix

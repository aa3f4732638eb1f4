#include "Platform/Posix/WriteAll.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace posix {

int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

int writeAll(int fd, std::vector<iovec>& vectors) {
    std::size_t first = 0;
    while (first < vectors.size()) {
        int count = static_cast<int>(std::min<std::size_t>(vectors.size() - first, IOV_MAX));
        ssize_t written = ::writev(fd, &vectors[first], count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        auto left = static_cast<std::size_t>(written);
        while (first < vectors.size() && left >= vectors[first].iov_len) {
            left -= vectors[first].iov_len;
            ++first;
        }
        if (left > 0) {
            vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + left;
            vectors[first].iov_len -= left;
        }
    }
    return 0;
}

}  // namespace posix

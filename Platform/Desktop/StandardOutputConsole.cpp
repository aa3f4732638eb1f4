#include "Platform/Desktop/StandardOutputConsole.h"

#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace {
// Writes every byte of the vectors, resuming after partial writes and interruptions.
bool writeAll(int fd, std::vector<iovec>& vectors) {
    std::size_t first = 0;
    while (first < vectors.size()) {
        int count = static_cast<int>(std::min<std::size_t>(vectors.size() - first, IOV_MAX));
        ssize_t written = ::writev(fd, &vectors[first], count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
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
    return true;
}
}  // namespace

bool StandardOutputConsole::write(std::span<const std::string_view> pieces, bool endLine) {
    std::vector<iovec> vectors;
    vectors.reserve(pieces.size() + 1);
    for (std::string_view piece : pieces) {
        if (!piece.empty()) {
            vectors.push_back({const_cast<char*>(piece.data()), piece.size()});
        }
    }
    static char lineEnd = '\n';
    if (endLine) {
        vectors.push_back({&lineEnd, 1});
    }
    return writeAll(fd_, vectors);
}

void StandardOutputConsole::printLine(std::span<const std::string_view> pieces) {
    std::lock_guard lock(mutex_);
    if (!closed_) {
        // A reader that went away is not our failure to report: the line is dropped.
        write(pieces, true);
    }
}

void StandardOutputConsole::printLineInParts(const std::function<void(const Pieces&)>& make) {
    std::lock_guard lock(mutex_);
    bool writing = !closed_;
    make([&](std::span<const std::string_view> pieces) {
        writing = writing && write(pieces, false);
    });
    if (writing) {
        write({}, true);
    }
}

void StandardOutputConsole::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

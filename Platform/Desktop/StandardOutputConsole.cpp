#include "Platform/Desktop/StandardOutputConsole.h"

#include <vector>

#include "Platform/Posix/WriteAll.h"

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
    return posix::writeAll(fd_, vectors) == 0;
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

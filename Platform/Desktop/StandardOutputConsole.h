#pragma once

#include <mutex>

#include "Platform/Console.h"

// Standard output, each line written under a lock. After `close` nothing more is written, so a
// quitting host prints no half-answered work.
class StandardOutputConsole : public platform::Console {
public:
    explicit StandardOutputConsole(int fd = 1) : fd_(fd) {}

    void printLineInParts(const std::function<void(const Pieces&)>& make) override;
    // One system call sequence for the whole line.
    void printLine(std::span<const std::string_view> pieces) override;
    using platform::Console::printLine;
    void close();

private:
    // Writes the pieces, and a line end after them when asked; false once a write has failed.
    bool write(std::span<const std::string_view> pieces, bool endLine);

    std::mutex mutex_;
    int fd_;
    bool closed_ = false;
};

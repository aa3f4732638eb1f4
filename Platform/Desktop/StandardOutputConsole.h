#pragma once

#include <mutex>

#include "Platform/Console.h"

// Standard output, written with one system call sequence per line under a lock. After `close`
// nothing more is written, so a quitting host prints no half-answered work.
class StandardOutputConsole : public platform::Console {
public:
    explicit StandardOutputConsole(int fd = 1) : fd_(fd) {}

    using platform::Console::printLine;
    void printLine(std::span<const std::string_view> pieces) override;
    void close();

private:
    std::mutex mutex_;
    int fd_;
    bool closed_ = false;
};

#pragma once

#include <span>
#include <string_view>

namespace platform {

// The process's standard output. Each line is written whole, never interleaved with another
// thread's line. Safe from any thread.
class Console {
public:
    virtual ~Console() = default;

    // Writes the pieces one after another, then a line end.
    virtual void printLine(std::span<const std::string_view> pieces) = 0;

    void printLine(std::string_view line) {
        printLine(std::span<const std::string_view>(&line, 1));
    }
};

}  // namespace platform

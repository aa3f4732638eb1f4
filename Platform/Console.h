#pragma once

#include <functional>
#include <span>
#include <string_view>

namespace platform {

// The process's standard output. Each line is written whole, never interleaved with another
// thread's line. Safe from any thread.
class Console {
public:
    // Takes the next pieces of a line.
    using Pieces = std::function<void(std::span<const std::string_view>)>;

    virtual ~Console() = default;

    // Writes the line that `make` produces, piece by piece through the function it is given, and
    // then a line end; no other line is written meanwhile, so a long line can go out as it is
    // made rather than be held whole first.
    virtual void printLineInParts(const std::function<void(const Pieces&)>& make) = 0;

    // Writes the pieces one after another, then a line end.
    virtual void printLine(std::span<const std::string_view> pieces) {
        printLineInParts([pieces](const Pieces& write) { write(pieces); });
    }

    void printLine(std::string_view line) {
        printLine(std::span<const std::string_view>(&line, 1));
    }
};

}  // namespace platform

#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "Platform/Posix/Pipe.h"

namespace host {

// Reads newline-terminated lines from a descriptor, bounded in size. The line handed out has
// `padding` spare bytes of capacity after its end, so a parser may read past it without a copy.
// `next` runs on one thread; `stop` may be called from any other to end a blocked `next`.
class LineReader {
public:
    enum class Status { line, pieces, tooLarge, end, stopped };
    // Takes a long line's pieces in order, its end excluded.
    using Pieces = std::function<void(std::string_view)>;

    LineReader(int fd, std::size_t limit, std::size_t padding);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Gives the next line without its line end. A line over the limit is skipped up to its end
    // and reported as `tooLarge`. A last line without a line end still counts as a line.
    // With `pieces`, a line longer than a read's worth goes to it as it arrives instead, in the
    // same memory piece after piece, and ends as `pieces` (or `tooLarge`, after some pieces).
    Status next(std::string& line, const Pieces& pieces = {});
    void stop();

private:
    // Reads more input after `end_`; false at end of input or when stopped.
    bool fill();
    // Moves the next `length` bytes into `line`, and skips `terminator` bytes after them.
    void take(std::string& line, std::size_t length, std::size_t terminator);
    void consume(std::size_t length);
    // Gives back the memory of the whole pages in [from, to), whose bytes are no longer wanted;
    // returns where the pages given back end (`from` when there were none).
    std::size_t release(std::size_t from, std::size_t to);

    int fd_;
    std::size_t limit_;
    std::size_t padding_;
    std::size_t capacity_;
    char* buffer_ = nullptr;  // `capacity_` bytes of address space
    posix::Pipe wake_;        // both ends invalid when the system had none to give
    bool stopped_ = false;
    std::size_t start_ = 0;    // where the unread input begins
    std::size_t end_ = 0;      // where it ends
    std::size_t scanned_ = 0;  // bytes after `start_` known to hold no line end
};

}  // namespace host

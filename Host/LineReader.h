#pragma once

#include <cstddef>
#include <string>

namespace host {

// Reads newline-terminated lines from a descriptor, bounded in size. The line handed out has
// `padding` spare bytes of capacity after its end, so a parser may read past it without a copy.
// `next` runs on one thread; `stop` may be called from any other to end a blocked `next`.
class LineReader {
public:
    enum class Status { line, tooLarge, end, stopped };

    LineReader(int fd, std::size_t limit, std::size_t padding);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Gives the next line without its line end. A line over the limit is skipped up to its end
    // and reported as `tooLarge`. A last line without a line end still counts as a line.
    Status next(std::string& line);
    void stop();

private:
    // Reads more input into `buffer_`; false at end of input or when stopped.
    bool fill();
    void reserveFor(std::size_t bytes);
    // Moves the next `length` bytes into `line`, and skips `terminator` bytes after them.
    void take(std::string& line, std::size_t length, std::size_t terminator);

    int fd_;
    std::size_t limit_;
    std::size_t padding_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    bool stopped_ = false;
    std::string buffer_;
    std::size_t start_ = 0;    // where the unread part of `buffer_` begins
    std::size_t scanned_ = 0;  // bytes after `start_` known to hold no line end
};

}  // namespace host

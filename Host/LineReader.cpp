#include "Host/LineReader.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace host {

namespace {
constexpr std::size_t chunkSize = 1 << 20;
constexpr std::size_t bigLine = 1 << 16;
}  // namespace

LineReader::LineReader(int fd, std::size_t limit, std::size_t padding)
    : fd_(fd), limit_(limit), padding_(padding) {
    int wake[2];
    if (::pipe(wake) == 0) {
        wakeRead_ = wake[0];
        wakeWrite_ = wake[1];
    }
}

LineReader::~LineReader() {
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

void LineReader::stop() {
    char byte = 0;
    [[maybe_unused]] ssize_t ignored = ::write(wakeWrite_, &byte, 1);
}

LineReader::Status LineReader::next(std::string& line) {
    bool skipping = false;
    for (;;) {
        const char* base = buffer_.data() + start_;
        std::size_t available = buffer_.size() - start_;
        const void* end = std::memchr(base + scanned_, '\n', available - scanned_);
        if (end != nullptr) {
            std::size_t length = static_cast<const char*>(end) - base;
            if (skipping || length > limit_) {
                start_ += length + 1;
                scanned_ = 0;
                return Status::tooLarge;
            }
            take(line, length, 1);
            return Status::line;
        }
        scanned_ = available;
        if (available > limit_) {
            // Keep nothing of an oversized line; only its end is still wanted.
            skipping = true;
            buffer_.clear();
            buffer_.shrink_to_fit();
            start_ = 0;
            scanned_ = 0;
        }
        if (!fill()) {
            if (stopped_) {
                return Status::stopped;
            }
            if (skipping) {
                return Status::tooLarge;
            }
            if (buffer_.size() == start_) {
                return Status::end;
            }
            take(line, buffer_.size() - start_, 0);
            return Status::line;
        }
    }
}

void LineReader::take(std::string& line, std::size_t length, std::size_t terminator) {
    if (length >= bigLine) {
        // Hand the buffer itself over rather than copy a large line out of it.
        std::string rest(buffer_, start_ + length + terminator);
        buffer_.erase(0, start_);
        line = std::move(buffer_);
        line.resize(length);
        buffer_ = std::move(rest);
        start_ = 0;
    } else {
        line.reserve(length + padding_);
        line.assign(buffer_, start_, length);
        start_ += length + terminator;
    }
    scanned_ = 0;
}

void LineReader::reserveFor(std::size_t bytes) {
    std::size_t needed = bytes + padding_;
    if (buffer_.capacity() < needed) {
        buffer_.reserve(std::max(needed, buffer_.capacity() * 2));
    }
}

bool LineReader::fill() {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    for (;;) {
        int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || (fds[1].revents & POLLIN) != 0) {
            stopped_ = true;
            return false;
        }
        break;
    }
    buffer_.erase(0, std::exchange(start_, 0));
    std::size_t size = buffer_.size();
    reserveFor(size + chunkSize);
    // Grow the string into its reserved capacity without touching the bytes twice.
    buffer_.resize(size + chunkSize);
    ssize_t got = 0;
    do {
        got = ::read(fd_, buffer_.data() + size, chunkSize);
    } while (got < 0 && errno == EINTR);
    buffer_.resize(size + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    return got > 0;
}

}  // namespace host

#include "Host/Stdio/LineReader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace host {

namespace {
constexpr std::size_t chunkSize = 1 << 20;

std::size_t pageSize() {
    static const auto size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}
}  // namespace

LineReader::LineReader(int fd, std::size_t limit, std::size_t padding)
    : fd_(fd),
      limit_(limit),
      padding_(padding),
      capacity_(limit + 1 + chunkSize),
      wake_(posix::Pipe::open().value_or(posix::Pipe{})) {
    // Address space for the longest line, taken up only where input lands: a line grows in place,
    // never copied into a larger buffer while the old one is still held.
    void* mapped = ::mmap(nullptr, capacity_, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) {
        throw std::bad_alloc();
    }
    buffer_ = static_cast<char*>(mapped);
}

LineReader::~LineReader() {
    ::munmap(buffer_, capacity_);
}

void LineReader::stop() {
    wake_.wake();
}

LineReader::Status LineReader::next(std::string& line, const Pieces& pieces) {
    bool skipping = false;
    std::size_t handedOver = 0;  // bytes of this line already given to `pieces`
    for (;;) {
        const char* base = buffer_ + start_;
        std::size_t available = end_ - start_;
        const void* found = std::memchr(base + scanned_, '\n', available - scanned_);
        if (found != nullptr) {
            std::size_t length = static_cast<const char*>(found) - base;
            if (skipping || handedOver + length > limit_) {
                start_ += length + 1;
                scanned_ = 0;
                return Status::tooLarge;
            }
            if (handedOver > 0) {
                pieces(std::string_view(base, length));
                consume(length + 1);
                return Status::pieces;
            }
            take(line, length, 1);
            return Status::line;
        }
        scanned_ = available;
        if (handedOver + available > limit_) {
            // Keep nothing of an oversized line; only its end is still wanted.
            skipping = true;
            release(0, end_ + pageSize());
            start_ = end_ = scanned_ = 0;
        } else if (pieces && available >= chunkSize) {
            pieces(std::string_view(base, available));
            handedOver += available;
            consume(available);
        }
        if (!fill()) {
            if (stopped_) {
                return Status::stopped;
            }
            if (skipping) {
                return Status::tooLarge;
            }
            if (handedOver > 0) {
                pieces(std::string_view(buffer_ + start_, end_ - start_));
                consume(end_ - start_);
                return Status::pieces;
            }
            if (end_ == start_) {
                return Status::end;
            }
            take(line, end_ - start_, 0);
            return Status::line;
        }
    }
}

void LineReader::consume(std::size_t length) {
    start_ += length;
    scanned_ = 0;
    if (start_ == end_) {
        start_ = end_ = 0;
    }
}

void LineReader::take(std::string& line, std::size_t length, std::size_t terminator) {
    line.clear();
    line.reserve(length + padding_);
    // A long line is copied out a chunk at a time, each chunk's memory given back once copied,
    // so the line is held about once, not twice. What lies before it is already consumed.
    std::size_t releasedTo = start_ / pageSize() * pageSize();
    for (std::size_t copied = 0; copied < length;) {
        std::size_t piece = std::min(chunkSize, length - copied);
        line.append(buffer_ + start_ + copied, piece);
        copied += piece;
        if (length >= chunkSize) {
            releasedTo = release(releasedTo, start_ + copied);
        }
    }
    consume(length + terminator);
}

std::size_t LineReader::release(std::size_t from, std::size_t to) {
    std::size_t page = pageSize();
    std::size_t first = (from + page - 1) / page * page;
    std::size_t last = to / page * page;
    if (last <= first) {
        return from;
    }
    ::madvise(buffer_ + first, last - first, MADV_DONTNEED);
    return last;
}

bool LineReader::fill() {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_.read.get(), POLLIN, 0}};
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
    if (end_ + chunkSize > capacity_) {
        // What is left unread is less than a line over the limit: move it to the front.
        std::memmove(buffer_, buffer_ + start_, end_ - start_);
        release(end_ - start_, end_ + pageSize());
        end_ -= start_;
        start_ = 0;
    }
    ssize_t got = 0;
    do {
        got = ::read(fd_, buffer_ + end_, chunkSize);
    } while (got < 0 && errno == EINTR);
    end_ += static_cast<std::size_t>(std::max<ssize_t>(got, 0));
    return got > 0;
}

}  // namespace host

#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

// Free space on the volume that download bodies are written to, shared out among the downloads
// that run side by side so that together they leave a margin free, whatever the volume's size.
// Before writing, a download claims what it may still write: all that remains of an announced
// length, else what it writes until it looks again. A claim that free space, less what the
// others have claimed, cannot hold along with the margin is refused. Safe from any thread.
class FreeSpaceLedger {
public:
    // What one download has claimed; give it back with `release` once the download ends.
    struct Share {
        std::uint64_t claimed = 0;
        // Free space is looked at again once the body reaches this many bytes.
        std::uint64_t nextLook = 0;
    };

    // `margin`: the free space to leave; a twentieth of a smaller volume.
    explicit FreeSpaceLedger(std::uint64_t margin) : margin_(margin) {}

    // Whether a body written to `fd`, `written` bytes so far, may grow by `length` bytes towards
    // `end`, its announced length if it has one. False when the margin would not stay free, and
    // the share is given back then. A volume whose figures cannot be read refuses nothing.
    bool admit(Share& share, int fd, std::uint64_t written, std::uint64_t length,
               std::optional<std::uint64_t> end);
    // Counts `length` claimed bytes as written: free space shows them from now on.
    void wrote(Share& share, std::uint64_t length);
    void release(Share& share);

private:
    std::uint64_t margin_;
    std::mutex mutex_;
    std::uint64_t claimed_ = 0;
};

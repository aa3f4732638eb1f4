#include "Platform/Desktop/FreeSpaceLedger.h"

#include <sys/statvfs.h>

#include <algorithm>

namespace {
// On a large volume free space is looked at once a MiB of a body; on a small one more often, so
// that a body of unknown length need not claim much more than the margin to be let in.
constexpr std::uint64_t largestLookInterval = 1 << 20;
constexpr std::uint64_t looksPerMargin = 8;
}  // namespace

bool FreeSpaceLedger::admit(Share& share, int fd, std::uint64_t written, std::uint64_t length,
                            std::optional<std::uint64_t> end) {
    if (written + length < share.nextLook) {
        return true;
    }
    struct statvfs figures {};
    if (::fstatvfs(fd, &figures) != 0) {
        return true;
    }
    std::uint64_t free = std::uint64_t{figures.f_bavail} * figures.f_frsize;
    std::uint64_t margin =
        std::min(margin_, std::uint64_t{figures.f_blocks} * figures.f_frsize / 20);
    share.nextLook = written + length + std::min(largestLookInterval, margin / looksPerMargin);
    // One block more, for the part of the file's last block that holds no bytes.
    std::uint64_t wanted = end.value_or(share.nextLook) - written + figures.f_frsize;
    std::lock_guard lock(mutex_);
    claimed_ -= share.claimed;
    share.claimed = 0;
    if (free < claimed_ + wanted + margin) {
        return false;
    }
    share.claimed = wanted;
    claimed_ += wanted;
    return true;
}

void FreeSpaceLedger::wrote(Share& share, std::uint64_t length) {
    std::lock_guard lock(mutex_);
    std::uint64_t counted = std::min(length, share.claimed);
    share.claimed -= counted;
    claimed_ -= counted;
}

void FreeSpaceLedger::release(Share& share) {
    std::lock_guard lock(mutex_);
    claimed_ -= share.claimed;
    share.claimed = 0;
}

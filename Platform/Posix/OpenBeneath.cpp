#include "Platform/Posix/OpenBeneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace posix {

namespace {
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Set once the kernel said it has no openat2, so that no later open asks again.
std::atomic<bool> withoutOpenat2{false};

bool isLink(int folder, const std::string& name) {
    struct stat info {};
    return ::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(info.st_mode);
}

// The path as openat2 takes it, or nothing when it holds a part only the walk answers as it
// should: an empty name, "..", or a start at "/".
std::optional<std::string> plainPath(const std::filesystem::path& inside) {
    std::string joined;
    for (const auto& component : inside) {
        if (component == ".") {
            continue;
        }
        if (component.empty() || component == ".." || component.has_root_directory()) {
            return std::nullopt;
        }
        joined += (joined.empty() ? "" : "/") + component.string();
    }
    return joined.empty() ? "." : joined;
}
}  // namespace

Beneath openBeneath(int root, const std::filesystem::path& inside, int flags, bool makeFolders) {
    auto path = plainPath(inside);
    if (path && !withoutOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        long fd = ::syscall(SYS_openat2, root, path->c_str(), &how, sizeof how);
        if (fd >= 0) {
            Beneath opened;
            opened.fd = FileDescriptor(static_cast<int>(fd));
            return opened;
        }
        if (errno == ENOSYS) {
            withoutOpenat2.store(true, std::memory_order_relaxed);
        }
    }
    // Also after a failure: the walk names the component at fault and makes missing folders.
    return walkBeneath(root, inside, flags, makeFolders);
}

Beneath walkBeneath(int root, const std::filesystem::path& inside, int flags, bool makeFolders) {
    std::vector<std::string> names;
    for (const auto& component : inside) {
        if (component != ".") {
            names.push_back(component.string());
        }
    }
    Beneath result;
    FileDescriptor current;
    int folder = root;
    if (names.empty()) {
        names.emplace_back(".");
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        result.failed /= name;
        if (name == ".." || name == "/") {
            result.number = EXDEV;
            return result;
        }
        int openFlags = i + 1 == names.size() ? flags | O_NOFOLLOW | O_CLOEXEC : folderFlags;
        int fd = ::openat(folder, name.c_str(), openFlags);
        if (fd < 0 && errno == ENOENT && makeFolders) {
            if (::mkdirat(folder, name.c_str(), 0777) != 0 && errno != EEXIST) {
                result.number = errno;
                return result;
            }
            fd = ::openat(folder, name.c_str(), openFlags);
        }
        if (fd < 0) {
            result.number = errno;
            result.failedOnLink =
                (result.number == ENOTDIR || result.number == ELOOP) && isLink(folder, name);
            return result;
        }
        current = FileDescriptor(fd);
        folder = current.get();
    }
    result.failed.clear();
    result.fd = std::move(current);
    return result;
}

}  // namespace posix

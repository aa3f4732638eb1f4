#include "Platform/Desktop/FolderEntries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "Platform/Posix/FileDescriptor.h"
#include "Platform/Posix/SystemError.h"

namespace {
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A folder being emptied: its name in its parent, which folder it is on the disk, and the names in
// it not yet removed.
struct Level {
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<std::string> left;
};
}  // namespace

std::optional<platform::Error> forEachEntry(int folder, const std::filesystem::path& path,
                                            const std::function<void(const char* name)>& visit) {
    // The listing owns and closes its own descriptor.
    FileDescriptor copy(::fcntl(folder, F_DUPFD_CLOEXEC, 0));
    DIR* listing = copy.valid() ? ::fdopendir(copy.get()) : nullptr;
    if (listing == nullptr) {
        return systemError(errno, path);
    }
    copy.release();
    int number = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing);
        if (entry == nullptr) {
            number = errno;
            break;
        }
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            visit(entry->d_name);
        }
    }
    ::closedir(listing);
    if (number != 0) {
        return systemError(number, path);
    }
    return std::nullopt;
}

std::optional<platform::Error> removeEntry(int folder, const std::string& name,
                                           const std::filesystem::path& path) {
    if (::unlinkat(folder, name.c_str(), 0) == 0) {
        return std::nullopt;
    }
    if (errno != EISDIR) {
        return systemError(errno, path);
    }
    // Only the innermost folder stays open. The way down is kept as names and identities, and
    // the way up is taken through "..", checked to be the folder stepped down from, so a tree
    // moved meanwhile is never emptied outside what was asked for.
    std::vector<Level> levels;
    FileDescriptor current;
    // The path of `entry` in the innermost folder, for an error: built only then, as it is long.
    auto pathOf = [&](const std::string& entry) {
        std::filesystem::path where = path;
        for (std::size_t i = 1; i < levels.size(); ++i) {
            where /= levels[i].name;
        }
        return levels.empty() ? where : where / entry;
    };
    // errno is taken before the path is built, which may change it.
    auto failure = [&](const std::string& entry) {
        int number = errno;
        return systemError(number, pathOf(entry));
    };
    auto enter = [&](int parent, const std::string& entry) -> std::optional<platform::Error> {
        FileDescriptor inner(::openat(parent, entry.c_str(), folderFlags));
        struct stat info {};
        if (!inner.valid() || ::fstat(inner.get(), &info) != 0) {
            return failure(entry);
        }
        Level level{entry, info.st_dev, info.st_ino, {}};
        if (auto error = forEachEntry(
                inner.get(), {}, [&](const char* inside) { level.left.emplace_back(inside); })) {
            error->path = pathOf(entry);
            return error;
        }
        levels.push_back(std::move(level));
        current = std::move(inner);
        return std::nullopt;
    };
    if (auto error = enter(folder, name)) {
        return error;
    }
    while (!levels.empty()) {
        if (!levels.back().left.empty()) {
            std::string entry = std::move(levels.back().left.back());
            levels.back().left.pop_back();
            if (::unlinkat(current.get(), entry.c_str(), 0) == 0) {
                continue;
            }
            if (errno != EISDIR) {
                return failure(entry);
            }
            if (auto error = enter(current.get(), entry)) {
                return error;
            }
            continue;
        }
        Level emptied = std::move(levels.back());
        levels.pop_back();
        FileDescriptor parent;
        if (!levels.empty()) {
            parent = FileDescriptor(::openat(current.get(), "..", folderFlags));
            struct stat info {};
            if (!parent.valid() || ::fstat(parent.get(), &info) != 0) {
                return failure(emptied.name);
            }
            if (info.st_dev != levels.back().device || info.st_ino != levels.back().inode) {
                return platform::Error{"The folder was moved while it was being removed",
                                       platform::Error::Kind::other, pathOf(emptied.name)};
            }
        }
        int from = levels.empty() ? folder : parent.get();
        if (::unlinkat(from, emptied.name.c_str(), AT_REMOVEDIR) != 0) {
            return failure(emptied.name);
        }
        current = std::move(parent);
    }
    return std::nullopt;
}

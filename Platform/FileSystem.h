#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Error.h"
#include "Platform/Result.h"

namespace platform {

// The standard directories of the application's container.
enum class Directory { home, applicationSupport, caches, documents, temporary };

struct FileSystemFigures {
    std::uint64_t total = 0;
    std::uint64_t free = 0;
};

struct DirectoryEntry {
    std::string name;
    // Absent for entries that have no file size of their own, such as directories.
    std::optional<std::uint64_t> size;
};

// True for a name that stands for one entry directly inside a folder: not empty, not "." or
// "..", and without "/" or NUL. Joined to a folder, such a name cannot reach outside it.
bool isPlainFileName(std::string_view name);

// Files of the application's container. Paths are absolute. Safe from any thread; errors carry
// the system's description of what went wrong.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Where a standard directory lies; worked out anew on every call, never created here.
    virtual std::filesystem::path directory(Directory which) const = 0;

    // True for a file and for a directory alike.
    virtual bool exists(const std::filesystem::path& path) const = 0;
    virtual std::optional<Error> createDirectories(const std::filesystem::path& path) = 0;
    // Removes a file, or a directory with its content.
    virtual std::optional<Error> remove(const std::filesystem::path& path) = 0;

    // Names of the entries directly in a directory, in the order the file system gives them.
    virtual Result<std::vector<std::string>> contentsOfDirectory(
        const std::filesystem::path& directory) const = 0;
    // The same entries with their file sizes, read in the same pass.
    virtual Result<std::vector<DirectoryEntry>> contentsWithSizes(
        const std::filesystem::path& directory) const = 0;

    virtual Result<std::string> read(const std::filesystem::path& file) const = 0;
    // Writes beside the target and renames over it: the file holds either its old content or
    // all of the new, also after a crash or a full disk.
    virtual std::optional<Error> writeAtomically(const std::filesystem::path& file,
                                                 std::string_view bytes) = 0;
    // Moves `from` to `to`, atomically replacing whatever file `to` names.
    virtual std::optional<Error> replace(const std::filesystem::path& from,
                                         const std::filesystem::path& to) = 0;

    // Size and free space of the volume that holds `path`.
    virtual Result<FileSystemFigures> figures(const std::filesystem::path& path) const = 0;

    // A new random UUID in canonical upper-case form (8-4-4-4-12 hexadecimal digits).
    virtual std::string makeUUID() = 0;
};

}  // namespace platform

#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
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

// What stands at a path, told without following a link there.
enum class EntryType { none, file, folder, link, special };

struct DirectoryEntry {
    std::string name;
    // Absent for entries other than regular files: folders, links and special files.
    std::optional<std::uint64_t> size;
};

// A file open for reading, from its start, a piece at a time. Used by one thread at a time.
class ReadableFile {
public:
    virtual ~ReadableFile() = default;
    // Reads up to `size` bytes into `into`; 0 at the end of the file.
    virtual Result<std::size_t> read(char* into, std::size_t size) = 0;
};

// Bytes written a piece at a time into a new file where no caller's name can reach, until they
// are placed over a target the way `FileSystem::writeAtomically` places bytes: so a large file can
// be stored as it arrives, never held whole. A file never placed goes away with this object. Used
// by one thread at a time.
class StagedFile {
public:
    virtual ~StagedFile() = default;
    [[nodiscard]] virtual std::optional<Error> append(std::string_view bytes) = 0;
    // Everything appended so far.
    [[nodiscard]] virtual Result<std::string> content() const = 0;
    // Syncs the bytes, renames them over `target` and syncs its folder, which must exist. Once
    // placed, the staged file is gone from here.
    [[nodiscard]] virtual std::optional<Error> placeAt(const std::filesystem::path& target) = 0;
};

// True for a name that stands for one entry directly inside a folder: not empty, not "." or
// "..", and without "/" or NUL. Joined to a folder, such a name cannot reach outside it.
bool isPlainFileName(std::string_view name);

// Files of the application's container. Paths are absolute and lie in the container. No link is
// followed: one standing where a folder of the container should be fails the call with a
// `linkedFolder` error, and one standing at a file's place is taken for what it is, a link.
// Safe from any thread; errors carry the system's description of what went wrong, its kind and
// the path.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Where a standard directory lies; worked out anew on every call, never created here.
    virtual std::filesystem::path directory(Directory which) const = 0;

    // `none` when nothing stands there, also when a folder on the way is missing.
    [[nodiscard]] virtual Result<EntryType> entryType(const std::filesystem::path& path) const = 0;
    [[nodiscard]] virtual std::optional<Error> createDirectories(
        const std::filesystem::path& path) = 0;
    // Removes a file, a link (not what it names), or a directory with its content; a `notFound`
    // error when nothing is there.
    [[nodiscard]] virtual std::optional<Error> remove(const std::filesystem::path& path) = 0;

    // Names of the entries directly in a directory, in the order the file system gives them.
    [[nodiscard]] virtual Result<std::vector<std::string>> contentsOfDirectory(
        const std::filesystem::path& directory) const = 0;
    // The same entries with their file sizes, read in the same pass.
    [[nodiscard]] virtual Result<std::vector<DirectoryEntry>> contentsWithSizes(
        const std::filesystem::path& directory) const = 0;

    // The whole content of a regular file. A `notFound` error when nothing is there, a
    // `notRegularFile` one for anything else (a folder, a link, a pipe or a device), which is
    // refused without waiting on it.
    [[nodiscard]] virtual Result<std::string> read(const std::filesystem::path& file) const = 0;
    // The same file, opened to be read piece by piece, so a large one need not be held whole;
    // refused as `read` refuses it, before anything is read.
    [[nodiscard]] virtual Result<std::unique_ptr<ReadableFile>> openForReading(
        const std::filesystem::path& file) const = 0;
    // Writes a new file where no caller's name can reach, syncs it and renames it over the
    // target, then syncs the folder: the file holds either its old content or all of the new,
    // also after a crash, a power cut or a full disk. The target's folder must exist.
    [[nodiscard]] virtual std::optional<Error> writeAtomically(const std::filesystem::path& file,
                                                               std::string_view bytes) = 0;
    // An empty staged file, to be filled and placed later (see `StagedFile`).
    [[nodiscard]] virtual Result<std::unique_ptr<StagedFile>> stage() = 0;
    // Moves the regular file `from` to `to`, atomically and durably replacing whatever file or
    // link `to` names (a folder there fails it with `notRegularFile`).
    [[nodiscard]] virtual std::optional<Error> replace(const std::filesystem::path& from,
                                                       const std::filesystem::path& to) = 0;

    // Size and free space of the volume that holds `path`.
    [[nodiscard]] virtual Result<FileSystemFigures> figures(
        const std::filesystem::path& path) const = 0;

    // A new random UUID in canonical upper-case form (8-4-4-4-12 hexadecimal digits).
    virtual std::string makeUUID() = 0;
};

}  // namespace platform

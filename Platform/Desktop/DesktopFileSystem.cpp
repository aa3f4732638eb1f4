#include "Platform/Desktop/DesktopFileSystem.h"

#include "Platform/RandomHex.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fs = std::filesystem;
using platform::Error;

namespace {
constexpr std::string_view stalePrefix = ".musicshell-write-";

Error errnoError(int number) {
    return {std::strerror(number)};
}

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now, so that a late write error (a full disk on a network file system) is seen.
    std::optional<Error> close() {
        int fd = std::exchange(fd_, -1);
        if (::close(fd) != 0) {
            return errnoError(errno);
        }
        return std::nullopt;
    }

private:
    int fd_;
};

std::optional<Error> writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0) {
            return errnoError(errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return std::nullopt;
}

// A new, still unnamed file in `folder`; where the file system cannot do that, a named one with
// a recognisable name. Gives the descriptor and the name to remove on failure (empty if none).
std::pair<int, fs::path> createScratchFile(const fs::path& folder) {
    int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
        return {fd, {}};
    }
    fs::path named = folder / (std::string(stalePrefix) + randomHex(6));
    fd = ::open(named.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    return {fd, fd >= 0 ? named : fs::path()};
}
}  // namespace

DesktopFileSystem::DesktopFileSystem(fs::path containerRoot) : root_(std::move(containerRoot)) {}

std::optional<Error> DesktopFileSystem::install(const fs::path& containerRoot) {
    for (const char* folder : {"", "Documents", "Library/Caches", "tmp"}) {
        std::error_code error;
        fs::create_directories(containerRoot / folder, error);
        if (error) {
            return Error{(containerRoot / folder).string() + ": " + error.message()};
        }
    }
    return std::nullopt;
}

void DesktopFileSystem::removeStaleWrites(const fs::path& directory) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        if (entry.path().filename().string().starts_with(stalePrefix)) {
            fs::remove(entry.path(), error);
        }
    }
}

fs::path DesktopFileSystem::directory(platform::Directory which) const {
    switch (which) {
        case platform::Directory::home:
            return root_;
        case platform::Directory::applicationSupport:
            return root_ / "Library" / "Application Support";
        case platform::Directory::caches:
            return root_ / "Library" / "Caches";
        case platform::Directory::documents:
            return root_ / "Documents";
        case platform::Directory::temporary:
            return root_ / "tmp";
    }
    return root_;
}

bool DesktopFileSystem::exists(const fs::path& path) const {
    std::error_code error;
    return fs::exists(path, error);
}

std::optional<Error> DesktopFileSystem::createDirectories(const fs::path& path) {
    std::error_code error;
    fs::create_directories(path, error);
    if (error) {
        return Error{error.message()};
    }
    return std::nullopt;
}

std::optional<Error> DesktopFileSystem::remove(const fs::path& path) {
    std::error_code error;
    fs::remove_all(path, error);
    if (error) {
        return Error{error.message()};
    }
    return std::nullopt;
}

platform::Result<std::vector<std::string>> DesktopFileSystem::contentsOfDirectory(
    const fs::path& folder) const {
    std::error_code error;
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        names.push_back(it->path().filename().string());
    }
    if (error) {
        return Error{error.message()};
    }
    return names;
}

platform::Result<std::vector<platform::DirectoryEntry>> DesktopFileSystem::contentsWithSizes(
    const fs::path& folder) const {
    std::error_code error;
    std::vector<platform::DirectoryEntry> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        platform::DirectoryEntry entry{it->path().filename().string(), std::nullopt};
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) {
            std::uintmax_t size = it->file_size(sizeError);
            if (!sizeError) {
                entry.size = size;
            }
        }
        entries.push_back(std::move(entry));
    }
    if (error) {
        return Error{error.message()};
    }
    return entries;
}

platform::Result<std::string> DesktopFileSystem::read(const fs::path& file) const {
    FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return errnoError(errno);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return errnoError(errno);
    }
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)));
    std::size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            // The file may have grown since it was measured.
            bytes.resize(bytes.size() + 65536);
        }
        ssize_t got = ::read(fd.get(), bytes.data() + filled, bytes.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errnoError(errno);
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    bytes.resize(filled);
    return bytes;
}

std::optional<Error> DesktopFileSystem::writeAtomically(const fs::path& file,
                                                        std::string_view bytes) {
    return placeAtomically(file, [bytes](int fd) { return writeAll(fd, bytes); });
}

std::optional<Error> DesktopFileSystem::replace(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) == 0) {
        return std::nullopt;
    }
    if (errno != EXDEV) {
        return errnoError(errno);
    }
    // Another volume: copy into the target's folder first, so the rename there stays atomic.
    FileDescriptor source(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (source.get() < 0) {
        return errnoError(errno);
    }
    auto error = placeAtomically(to, [&source](int fd) -> std::optional<Error> {
        for (;;) {
            ssize_t copied = ::sendfile(fd, source.get(), nullptr, 1 << 30);
            if (copied < 0 && errno == EINTR) {
                continue;
            }
            if (copied < 0) {
                return errnoError(errno);
            }
            if (copied == 0) {
                return std::nullopt;
            }
        }
    });
    if (!error) {
        ::unlink(from.c_str());
    }
    return error;
}

std::optional<Error> DesktopFileSystem::placeAtomically(const fs::path& file, const Filler& fill) {
    fs::path folder = file.parent_path();
    auto scratch = createScratchFile(folder);
    FileDescriptor fd(scratch.first);
    fs::path named = std::move(scratch.second);
    if (fd.get() < 0) {
        return errnoError(errno);
    }
    std::optional<Error> error = fill(fd.get());
    if (!error && named.empty()) {
        // Give the unnamed file a name beside the target; a crash from here to the rename
        // leaves a file that `removeStaleWrites` recognises.
        named = folder / (std::string(stalePrefix) + randomHex(6));
        std::string self = "/proc/self/fd/" + std::to_string(fd.get());
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            error = errnoError(errno);
            named.clear();
        }
    }
    if (!error) {
        error = fd.close();
    }
    if (!error && ::rename(named.c_str(), file.c_str()) != 0) {
        error = errnoError(errno);
    }
    if (error && !named.empty()) {
        ::unlink(named.c_str());
    }
    return error;
}

platform::Result<platform::FileSystemFigures> DesktopFileSystem::figures(
    const fs::path& path) const {
    struct statvfs volume {};
    if (::statvfs(path.c_str(), &volume) != 0) {
        return errnoError(errno);
    }
    return platform::FileSystemFigures{
        static_cast<std::uint64_t>(volume.f_blocks) * volume.f_frsize,
        static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize};
}

std::string DesktopFileSystem::makeUUID() {
    std::array<unsigned char, 16> bytes{};
    ::getrandom(bytes.data(), bytes.size(), 0);
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4: random
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        text += hex;
    }
    return text;
}

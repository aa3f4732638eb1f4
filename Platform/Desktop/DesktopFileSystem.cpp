#include "Platform/Desktop/DesktopFileSystem.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "Platform/Desktop/ContainerFolder.h"
#include "Platform/Desktop/DescriptorFile.h"
#include "Platform/Desktop/FolderEntries.h"
#include "Platform/Desktop/StagedScratchFile.h"
#include "Platform/Posix/SystemError.h"
#include "Platform/Posix/WriteAll.h"

namespace fs = std::filesystem;
using platform::Error;

namespace {
Error notRegularFile(const fs::path& path) {
    return {"Not a regular file", Error::Kind::notRegularFile, path};
}

std::optional<Error> copyAll(int to, int from) {
    for (;;) {
        ssize_t copied = ::sendfile(to, from, nullptr, 1 << 30);
        if (copied < 0 && errno == EINTR) {
            continue;
        }
        if (copied < 0) {
            return systemError(errno);
        }
        if (copied == 0) {
            return std::nullopt;
        }
    }
}
}  // namespace

DesktopFileSystem::DesktopFileSystem(const fs::path& containerRoot) {
    std::error_code ignored;
    root_ = fs::absolute(containerRoot, ignored).lexically_normal();
    if (!root_.has_filename() && root_.has_relative_path()) {
        root_ = root_.parent_path();
    }
}

std::optional<Error> DesktopFileSystem::install(const fs::path& containerRoot) {
    std::error_code error;
    fs::create_directories(containerRoot, error);
    if (error) {
        return Error{containerRoot.string() + ": " + error.message()};
    }
    for (const char* folder : {"Documents", "Library/Caches", "tmp"}) {
        auto made = openContainerFolder(containerRoot, folder, true);
        if (!made.ok() && made.error().kind != Error::Kind::linkedFolder) {
            return Error{(containerRoot / folder).string() + ": " + made.error().description};
        }
    }
    return std::nullopt;
}

void DesktopFileSystem::removeStaleWrites() {
    auto scratch = openFolder(root_ / ScratchFile::location, false);
    if (!scratch.ok()) {
        return;
    }
    int folder = scratch.value().get();
    std::vector<std::string> names;
    static_cast<void>(forEachEntry(folder, root_ / ScratchFile::location,
                                   [&](const char* name) { names.emplace_back(name); }));
    for (const auto& name : names) {
        static_cast<void>(removeEntry(folder, name, root_ / ScratchFile::location / name));
    }
}

platform::Result<FileDescriptor> DesktopFileSystem::openFolder(const fs::path& folder,
                                                               bool create) const {
    fs::path inside = folder.lexically_normal().lexically_relative(root_);
    if (inside.empty() || *inside.begin() == "..") {
        return Error{"Outside the container", Error::Kind::other, folder};
    }
    return openContainerFolder(root_, inside, create);
}

platform::Result<Place> DesktopFileSystem::locate(const fs::path& path) const {
    std::string name = path.filename().string();
    if (!platform::isPlainFileName(name)) {
        return systemError(EINVAL, path);
    }
    auto folder = openFolder(path.parent_path(), false);
    if (!folder.ok()) {
        return folder.error();
    }
    return Place{std::move(folder.value()), std::move(name), path};
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

platform::Result<platform::EntryType> DesktopFileSystem::entryType(const fs::path& path) const {
    using platform::EntryType;
    auto place = locate(path);
    if (!place.ok()) {
        if (place.error().kind == Error::Kind::notFound) {
            return EntryType::none;
        }
        return place.error();
    }
    struct stat info {};
    if (::fstatat(place.value().folder.get(), place.value().name.c_str(), &info,
                  AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return EntryType::none;
        }
        return systemError(errno, path);
    }
    if (S_ISREG(info.st_mode)) {
        return EntryType::file;
    }
    if (S_ISDIR(info.st_mode)) {
        return EntryType::folder;
    }
    return S_ISLNK(info.st_mode) ? EntryType::link : EntryType::special;
}

std::optional<Error> DesktopFileSystem::createDirectories(const fs::path& path) {
    auto folder = openFolder(path, true);
    if (!folder.ok()) {
        return folder.error();
    }
    return std::nullopt;
}

std::optional<Error> DesktopFileSystem::remove(const fs::path& path) {
    auto place = locate(path);
    if (!place.ok()) {
        return place.error();
    }
    return removeEntry(place.value().folder.get(), place.value().name, path);
}

platform::Result<std::vector<std::string>> DesktopFileSystem::contentsOfDirectory(
    const fs::path& folder) const {
    auto opened = openFolder(folder, false);
    if (!opened.ok()) {
        return opened.error();
    }
    std::vector<std::string> names;
    if (auto error = forEachEntry(opened.value().get(), folder,
                                  [&](const char* name) { names.emplace_back(name); })) {
        return *error;
    }
    return names;
}

platform::Result<std::vector<platform::DirectoryEntry>> DesktopFileSystem::contentsWithSizes(
    const fs::path& folder) const {
    auto opened = openFolder(folder, false);
    if (!opened.ok()) {
        return opened.error();
    }
    int fd = opened.value().get();
    std::vector<platform::DirectoryEntry> entries;
    auto error = forEachEntry(fd, folder, [&](const char* name) {
        platform::DirectoryEntry entry{name, std::nullopt};
        struct stat info {};
        // A link counts as itself, never as what it names.
        if (::fstatat(fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)) {
            entry.size = static_cast<std::uint64_t>(info.st_size);
        }
        entries.push_back(std::move(entry));
    });
    if (error) {
        return *error;
    }
    return entries;
}

platform::Result<FileDescriptor> DesktopFileSystem::openRegularFile(const fs::path& file) const {
    auto place = locate(file);
    if (!place.ok()) {
        return place.error();
    }
    // Without blocking, so that a pipe is refused at once instead of waited on.
    FileDescriptor fd(::openat(place.value().folder.get(), place.value().name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.valid()) {
        return errno == ELOOP ? notRegularFile(file) : systemError(errno, file);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        return systemError(errno, file);
    }
    if (S_ISDIR(info.st_mode)) {
        return systemError(EISDIR, file);
    }
    if (!S_ISREG(info.st_mode)) {
        return notRegularFile(file);
    }
    return fd;
}

platform::Result<std::string> DesktopFileSystem::read(const fs::path& file) const {
    auto opened = openRegularFile(file);
    if (!opened.ok()) {
        return opened.error();
    }
    return DescriptorFile::readWhole(opened.value().get(), file);
}

platform::Result<std::unique_ptr<platform::ReadableFile>> DesktopFileSystem::openForReading(
    const fs::path& file) const {
    auto opened = openRegularFile(file);
    if (!opened.ok()) {
        return opened.error();
    }
    return std::unique_ptr<platform::ReadableFile>(
        std::make_unique<DescriptorFile>(std::move(opened.value())));
}

std::optional<Error> DesktopFileSystem::writeAtomically(const fs::path& file,
                                                        std::string_view bytes) {
    auto target = locate(file);
    if (!target.ok()) {
        return target.error();
    }
    return placeAtomically(target.value(), [bytes](int fd) -> std::optional<Error> {
        if (int number = posix::writeAll(fd, bytes)) {
            return systemError(number);
        }
        return std::nullopt;
    });
}

std::optional<Error> DesktopFileSystem::replace(const fs::path& from, const fs::path& to) {
    auto source = locate(from);
    if (!source.ok()) {
        return source.error();
    }
    auto target = locate(to);
    if (!target.ok()) {
        return target.error();
    }
    int sourceFolder = source.value().folder.get();
    const char* sourceName = source.value().name.c_str();
    FileDescriptor body(
        ::openat(sourceFolder, sourceName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!body.valid()) {
        return systemError(errno, from);
    }
    // The body reaches the disk before its name takes the target's place.
    if (::fsync(body.get()) != 0) {
        return systemError(errno, from);
    }
    int targetFolder = target.value().folder.get();
    if (::renameat(sourceFolder, sourceName, targetFolder, target.value().name.c_str()) == 0) {
        return ScratchFile::syncFolder(targetFolder, to);
    }
    if (errno != EXDEV) {
        return systemError(errno, to);
    }
    // Another volume: copy, so the rename into place stays atomic.
    auto error =
        placeAtomically(target.value(), [&body](int fd) { return copyAll(fd, body.get()); });
    if (!error) {
        ::unlinkat(sourceFolder, sourceName, 0);
    }
    return error;
}

std::optional<Error> DesktopFileSystem::placeAtomically(const Place& target,
                                                        const Filler& fill) const {
    auto scratch = ScratchFile::open(root_);
    if (!scratch.ok()) {
        Error error = scratch.error();
        error.path = target.path;
        return error;
    }
    std::optional<Error> error = fill(scratch.value().fd());
    return error ? error : scratch.value().placeAt(target);
}

platform::Result<std::unique_ptr<platform::StagedFile>> DesktopFileSystem::stage() {
    auto scratch = ScratchFile::open(root_);
    if (!scratch.ok()) {
        return scratch.error();
    }
    return std::unique_ptr<platform::StagedFile>(
        std::make_unique<StagedScratchFile>(*this, std::move(scratch.value())));
}

platform::Result<platform::FileSystemFigures> DesktopFileSystem::figures(
    const fs::path& path) const {
    struct statvfs volume {};
    if (::statvfs(path.c_str(), &volume) != 0) {
        return systemError(errno, path);
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

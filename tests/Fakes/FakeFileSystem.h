#pragma once

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/FileSystem.h"

// The container in memory, after ninja's VirtualFileSystem: files with their bytes, folders,
// links and special files, each a path. Records what was made, read, removed and synced, and fails
// any operation on demand. Links are taken for what they are, never followed; one standing where a
// folder should be fails the call as the real container does. Safe from any thread.
class FakeFileSystem : public platform::FileSystem {
public:
    // `list`: listing a folder; `readOnward`: reading an opened file after its first piece, as a
    // failing disk would; `stage`: making a staged file; `append`: adding to one after its
    // first piece.
    enum class Operation {
        remove,
        list,
        readOnward,
        writeAtomically,
        replace,
        figures,
        stage,
        append
    };
    using Path = std::filesystem::path;
    using Type = platform::EntryType;
    using Error = platform::Error;
    using Kind = Error::Kind;

    explicit FakeFileSystem(Path root = "/c") : root_(std::move(root)) { folder(root_); }

    // Every later call of the operation fails with this description, until `heal`.
    void fail(Operation operation, std::string description) {
        std::lock_guard lock(mutex_);
        failures_[operation] = Error{std::move(description)};
    }
    void heal() {
        std::lock_guard lock(mutex_);
        failures_.clear();
    }

    // Plants an entry, with the folders on its way.
    void plant(const Path& path, Type type, std::string bytes = {}) {
        std::lock_guard lock(mutex_);
        for (Path on = path.parent_path(); on != on.parent_path(); on = on.parent_path()) {
            entries_.try_emplace(on, Entry{Type::folder, {}});
        }
        entries_[path] = Entry{type, std::move(bytes)};
    }
    void folder(const Path& path) { plant(path, Type::folder); }
    // The bytes of the regular file at `path`, or nothing.
    std::optional<std::string> contents(const Path& path) const {
        std::lock_guard lock(mutex_);
        auto found = entries_.find(path);
        return found != entries_.end() && found->second.type == Type::file
                   ? std::optional(found->second.bytes)
                   : std::nullopt;
    }
    // Staged files not yet placed or dropped.
    int staging() const { return staging_; }

    struct Records {
        std::vector<Path> made, read, removed, synced;
    };
    Records records() const {
        std::lock_guard lock(mutex_);
        return records_;
    }
    platform::FileSystemFigures volume{1 << 30, 1 << 29};

    Path directory(platform::Directory which) const override {
        using enum platform::Directory;
        return which == home                 ? root_
               : which == applicationSupport ? root_ / "Library/Application Support"
               : which == caches             ? root_ / "Library/Caches"
               : which == documents          ? root_ / "Documents"
                                             : root_ / "tmp";
    }

    platform::Result<Type> entryType(const Path& path) const override {
        std::lock_guard lock(mutex_);
        if (auto error = linkOnTheWay(path)) {
            return *error;
        }
        auto found = entries_.find(path);
        return found == entries_.end() ? Type::none : found->second.type;
    }

    std::optional<Error> createDirectories(const Path& path) override {
        std::lock_guard lock(mutex_);
        if (auto error = linkOnTheWay(path / "x")) {
            return error;
        }
        for (Path on = path; on != on.parent_path() && !entries_.contains(on);
             on = on.parent_path()) {
            entries_[on] = Entry{Type::folder, {}};
            records_.made.push_back(on);
        }
        return entries_.at(path).type == Type::folder
                   ? std::nullopt
                   : std::optional(Error{"File exists", Kind::other, path});
    }

    std::optional<Error> remove(const Path& path) override {
        std::lock_guard lock(mutex_);
        if (auto error = failure(Operation::remove)) {
            return error;
        }
        if (auto error = linkOnTheWay(path)) {
            return error;
        }
        auto found = entries_.find(path);
        if (found == entries_.end()) {
            return Error{"No such file or directory", Kind::notFound, path};
        }
        while (found != entries_.end() && (found->first == path || isInside(found->first, path))) {
            found = entries_.erase(found);
        }
        records_.removed.push_back(path);
        return std::nullopt;
    }

    platform::Result<std::vector<std::string>> contentsOfDirectory(
        const Path& directory) const override {
        auto entries = contentsWithSizes(directory);
        if (!entries.ok()) {
            return entries.error();
        }
        std::vector<std::string> names;
        for (const auto& entry : entries.value()) {
            names.push_back(entry.name);
        }
        return names;
    }

    platform::Result<std::vector<platform::DirectoryEntry>> contentsWithSizes(
        const Path& directory) const override {
        std::lock_guard lock(mutex_);
        if (auto error = failure(Operation::list)) {
            return *error;
        }
        if (auto error = linkOnTheWay(directory / "x")) {
            return *error;
        }
        auto found = entries_.find(directory);
        if (found == entries_.end() || found->second.type != Type::folder) {
            return Error{"No such file or directory", Kind::notFound, directory};
        }
        std::vector<platform::DirectoryEntry> listed;
        for (++found; found != entries_.end() && isInside(found->first, directory); ++found) {
            if (found->first.parent_path() == directory) {
                listed.push_back({found->first.filename(),
                                  found->second.type == Type::file
                                      ? std::optional<std::uint64_t>(found->second.bytes.size())
                                      : std::nullopt});
            }
        }
        return listed;
    }

    platform::Result<std::string> read(const Path& file) const override {
        std::lock_guard lock(mutex_);
        if (auto error = unreadable(file)) {
            return *error;
        }
        records_.read.push_back(file);
        return entries_.at(file).bytes;
    }

    platform::Result<std::unique_ptr<platform::ReadableFile>> openForReading(
        const Path& file) const override {
        auto bytes = read(file);
        if (!bytes.ok()) {
            return bytes.error();
        }
        std::lock_guard lock(mutex_);
        return std::unique_ptr<platform::ReadableFile>(
            std::make_unique<Reader>(std::move(bytes.value()), failure(Operation::readOnward)));
    }

    std::optional<Error> writeAtomically(const Path& file, std::string_view bytes) override {
        std::lock_guard lock(mutex_);
        if (auto error = failure(Operation::writeAtomically)) {
            return error;
        }
        return place(file, std::string(bytes));
    }

    platform::Result<std::unique_ptr<platform::StagedFile>> stage() override {
        if (std::lock_guard lock(mutex_); auto error = failure(Operation::stage)) {
            return *error;
        }
        return std::unique_ptr<platform::StagedFile>(std::make_unique<Staged>(*this));
    }

    std::optional<Error> replace(const Path& from, const Path& to) override {
        std::lock_guard lock(mutex_);
        if (auto error = failure(Operation::replace)) {
            return error;
        }
        if (auto error = unreadable(from)) {
            return error;
        }
        std::string bytes = entries_.at(from).bytes;
        auto error = place(to, std::move(bytes));
        if (!error) {
            entries_.erase(from);
        }
        return error;
    }

    platform::Result<platform::FileSystemFigures> figures(const Path&) const override {
        std::lock_guard lock(mutex_);
        if (auto error = failure(Operation::figures)) {
            return *error;
        }
        return volume;
    }

    std::string makeUUID() override {
        std::lock_guard lock(mutex_);
        unsigned made = ++uuids_;
        char text[37];
        std::snprintf(text, sizeof text, "%08X-0000-4000-8000-%012X", made, made);
        return text;
    }

private:
    struct Entry {
        Type type;
        std::string bytes;
    };

    struct Reader : platform::ReadableFile {
        Reader(std::string content, std::optional<Error> onward)
            : bytes(std::move(content)), error(std::move(onward)) {}
        platform::Result<std::size_t> read(char* into, std::size_t size) override {
            if (error && at > 0) {
                return *error;
            }
            std::size_t count = bytes.copy(into, size, at);
            at += count;
            return count;
        }
        std::string bytes;
        std::optional<Error> error;
        std::size_t at = 0;
    };

    struct Staged : platform::StagedFile {
        explicit Staged(FakeFileSystem& owner) : files(owner) { ++files.staging_; }
        ~Staged() override { --files.staging_; }
        std::optional<Error> append(std::string_view more) override {
            std::lock_guard lock(files.mutex_);
            if (auto error = files.failure(Operation::append); error && !bytes.empty()) {
                return error;
            }
            bytes.append(more);
            return std::nullopt;
        }
        platform::Result<std::string> content() const override { return bytes; }
        std::optional<Error> placeAt(const Path& target) override {
            std::lock_guard lock(files.mutex_);
            return files.place(target, std::move(bytes));
        }
        FakeFileSystem& files;
        std::string bytes;
    };

    static bool isInside(const Path& path, const Path& folder) {
        auto [end, _] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
        return end == folder.end() && path != folder;
    }

    // As the real container says it: a link where one of the path's folders should stand.
    std::optional<Error> linkOnTheWay(const Path& path) const {
        for (Path on = path.parent_path(); isInside(on, root_); on = on.parent_path()) {
            auto found = entries_.find(on);
            if (found != entries_.end() && found->second.type == Type::link) {
                return Error{
                    on.lexically_relative(root_).string() + " is a symbolic link, not a folder",
                    Kind::linkedFolder, on};
            }
        }
        return std::nullopt;
    }

    std::optional<Error> unreadable(const Path& file) const {
        if (auto error = linkOnTheWay(file)) {
            return error;
        }
        auto found = entries_.find(file);
        if (found == entries_.end()) {
            return Error{"No such file or directory", Kind::notFound, file};
        }
        if (found->second.type == Type::folder) {
            return Error{"Is a directory", Kind::notRegularFile, file};
        }
        if (found->second.type != Type::file) {
            return Error{"Not a regular file", Kind::notRegularFile, file};
        }
        return std::nullopt;
    }

    // Bytes placed whole over whatever file or link stands at `file`, and synced.
    std::optional<Error> place(const Path& file, std::string bytes) {
        if (auto error = linkOnTheWay(file)) {
            return error;
        }
        auto folder = entries_.find(file.parent_path());
        if (folder == entries_.end() || folder->second.type != Type::folder) {
            return Error{"No such file or directory", Kind::notFound, file};
        }
        auto& entry = entries_[file];
        if (entry.type == Type::folder) {
            return Error{"Is a directory", Kind::notRegularFile, file};
        }
        entry = Entry{Type::file, std::move(bytes)};
        records_.made.push_back(file);
        records_.synced.push_back(file);
        return std::nullopt;
    }

    std::optional<Error> failure(Operation operation) const {
        auto found = failures_.find(operation);
        return found == failures_.end() ? std::nullopt : std::optional(found->second);
    }

    Path root_;
    mutable std::mutex mutex_;
    std::map<Path, Entry> entries_;
    mutable Records records_;
    std::map<Operation, Error> failures_;
    std::atomic<int> staging_{0};
    unsigned uuids_ = 0;
};

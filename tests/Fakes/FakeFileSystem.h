#pragma once

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "Platform/FileSystem.h"

// The container in memory: files with their bytes, folders and special files, each a path. Records
// what was made, read, removed and synced, and fails any operation on demand. Links are left to
// the tests on the real disk. Test thread only.
class FakeFileSystem : public platform::FileSystem {
public:
    // `readOnward`: reading an opened file after its first piece, as a failing disk would;
    // `append`: adding to a staged file after its first piece.
    enum class Operation { remove, list, readOnward, writeAtomically, figures, stage, append };
    using Path = std::filesystem::path;
    using Type = platform::EntryType;
    using Error = platform::Error;
    using Kind = Error::Kind;

    FakeFileSystem() { folder("/c"); }

    // Every later call of the operation fails with this description, until `heal`.
    void fail(Operation operation, std::string description) {
        failures_[operation] = Error{std::move(description)};
    }
    void heal() { failures_.clear(); }
    // Plants an entry, with the folders on its way.
    void plant(const Path& path, Type type, std::string bytes = {}) {
        for (Path on = path.parent_path(); on != on.parent_path(); on = on.parent_path()) {
            entries_.try_emplace(on, Entry{Type::folder, {}});
        }
        entries_[path] = Entry{type, std::move(bytes)};
    }
    void folder(const Path& path) { plant(path, Type::folder); }
    std::optional<std::string> contents(const Path& path) const {
        auto found = entries_.find(path);
        return found != entries_.end() && found->second.type == Type::file
                   ? std::optional(found->second.bytes)
                   : std::nullopt;
    }
    int staging() const { return staging_; }  // staged files not yet placed or dropped

    struct Records {
        std::vector<Path> made, read, removed, synced;
    };
    const Records& records() const { return records_; }
    platform::FileSystemFigures volume{1 << 30, 1 << 29};

    Path directory(platform::Directory which) const override {
        static const char* const names[] = {"", "Library/Application Support", "Library/Caches",
                                            "Documents", "tmp"};
        return which == platform::Directory::home
                   ? "/c"
                   : "/c/" + std::string(names[static_cast<int>(which)]);
    }

    platform::Result<Type> entryType(const Path& path) const override {
        auto found = entries_.find(path);
        return found == entries_.end() ? Type::none : found->second.type;
    }

    std::optional<Error> createDirectories(const Path& path) override {
        for (Path on = path; !entries_.contains(on); on = on.parent_path()) {
            entries_[on] = Entry{Type::folder, {}};
            records_.made.push_back(on);
        }
        return std::nullopt;
    }

    std::optional<Error> remove(const Path& path) override {
        if (auto error = failure(Operation::remove)) {
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
        std::ranges::transform(entries.value(), std::back_inserter(names),
                               &platform::DirectoryEntry::name);
        return names;
    }

    platform::Result<std::vector<platform::DirectoryEntry>> contentsWithSizes(
        const Path& directory) const override {
        auto found = entries_.find(directory);
        if (auto error = failure(Operation::list)) {
            return *error;
        }
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
        auto found = entries_.find(file);
        if (found == entries_.end()) {
            return Error{"No such file or directory", Kind::notFound, file};
        }
        if (found->second.type != Type::file) {
            return Error{"Not a regular file", Kind::notRegularFile, file};
        }
        records_.read.push_back(file);
        return found->second.bytes;
    }

    platform::Result<std::unique_ptr<platform::ReadableFile>> openForReading(
        const Path& file) const override {
        auto bytes = read(file);
        if (!bytes.ok()) {
            return bytes.error();
        }
        return std::unique_ptr<platform::ReadableFile>(
            std::make_unique<Reader>(std::move(bytes.value()), failure(Operation::readOnward)));
    }

    std::optional<Error> writeAtomically(const Path& file, std::string_view bytes) override {
        auto error = failure(Operation::writeAtomically);
        return error ? error : place(file, std::string(bytes));
    }

    platform::Result<std::unique_ptr<platform::StagedFile>> stage() override {
        if (auto error = failure(Operation::stage)) {
            return *error;
        }
        return std::unique_ptr<platform::StagedFile>(std::make_unique<Staged>(*this));
    }

    // Only transfers replace, and they are tested on the real disk.
    std::optional<Error> replace(const Path&, const Path& to) override {
        return Error{"Not in memory", Kind::other, to};
    }

    platform::Result<platform::FileSystemFigures> figures(const Path&) const override {
        auto error = failure(Operation::figures);
        return error ? platform::Result<platform::FileSystemFigures>(*error) : volume;
    }

    std::string makeUUID() override {
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
            if (auto error = files.failure(Operation::append); error && !bytes.empty()) {
                return error;
            }
            bytes.append(more);
            return std::nullopt;
        }
        platform::Result<std::string> content() const override { return bytes; }
        std::optional<Error> placeAt(const Path& target) override {
            return files.place(target, std::move(bytes));
        }
        FakeFileSystem& files;
        std::string bytes;
    };

    static bool isInside(const Path& path, const Path& folder) {
        auto [end, _] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
        return end == folder.end() && path != folder;
    }

    // Bytes placed whole over whatever file stands at `file`, and synced.
    std::optional<Error> place(const Path& file, std::string bytes) {
        if (entryType(file.parent_path()).value() != Type::folder ||
            entryType(file).value() == Type::folder) {
            return Error{"No folder to hold it", Kind::notFound, file};
        }
        entries_[file] = Entry{Type::file, std::move(bytes)};
        records_.made.push_back(file);
        records_.synced.push_back(file);
        return std::nullopt;
    }

    std::optional<Error> failure(Operation operation) const {
        auto found = failures_.find(operation);
        return found == failures_.end() ? std::nullopt : std::optional(found->second);
    }

    std::map<Path, Entry> entries_;
    mutable Records records_;
    std::map<Operation, Error> failures_;
    int staging_ = 0;
    unsigned uuids_ = 0;
};

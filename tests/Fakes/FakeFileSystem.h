#pragma once

#include <map>
#include <mutex>
#include <string>

#include "Platform/Desktop/DesktopFileSystem.h"

// The real container file system, with any operation made to fail on demand.
class FakeFileSystem : public DesktopFileSystem {
public:
    // `list`: listing a folder's names; `readOnward`: reading an opened file after its first
    // piece, as a failing disk would.
    enum class Operation { remove, list, readOnward, writeAtomically, replace, figures };

    using DesktopFileSystem::DesktopFileSystem;

    // Every later call of the operation fails with this description, until `heal`.
    void fail(Operation operation, std::string description) {
        std::lock_guard lock(mutex_);
        failures_[operation] = platform::Error{std::move(description)};
    }
    void heal() {
        std::lock_guard lock(mutex_);
        failures_.clear();
    }
    // The volume's figures from now on, instead of the real ones.
    std::optional<platform::FileSystemFigures> fixedFigures;

    std::optional<platform::Error> remove(const std::filesystem::path& path) override {
        return failOr(Operation::remove, [&] { return DesktopFileSystem::remove(path); });
    }
    platform::Result<std::vector<std::string>> contentsOfDirectory(
        const std::filesystem::path& directory) const override {
        return failOr(Operation::list,
                      [&] { return DesktopFileSystem::contentsOfDirectory(directory); });
    }
    platform::Result<std::unique_ptr<platform::ReadableFile>> openForReading(
        const std::filesystem::path& file) const override {
        auto opened = DesktopFileSystem::openForReading(file);
        auto error = failure(Operation::readOnward);
        if (!opened.ok() || !error) {
            return opened;
        }
        return std::unique_ptr<platform::ReadableFile>(
            std::make_unique<FailingOnward>(std::move(opened.value()), *error));
    }
    std::optional<platform::Error> writeAtomically(const std::filesystem::path& file,
                                                   std::string_view bytes) override {
        return failOr(Operation::writeAtomically,
                      [&] { return DesktopFileSystem::writeAtomically(file, bytes); });
    }
    std::optional<platform::Error> replace(const std::filesystem::path& from,
                                           const std::filesystem::path& to) override {
        return failOr(Operation::replace, [&] { return DesktopFileSystem::replace(from, to); });
    }
    platform::Result<platform::FileSystemFigures> figures(
        const std::filesystem::path& path) const override {
        return failOr(Operation::figures, [&]() -> platform::Result<platform::FileSystemFigures> {
            if (fixedFigures) {
                return *fixedFigures;
            }
            return DesktopFileSystem::figures(path);
        });
    }

private:
    // Reads its first piece, then fails.
    struct FailingOnward : platform::ReadableFile {
        FailingOnward(std::unique_ptr<platform::ReadableFile> file, platform::Error failure)
            : real(std::move(file)), error(std::move(failure)) {}
        platform::Result<std::size_t> read(char* into, std::size_t size) override {
            return std::exchange(first, false) ? real->read(into, size) : error;
        }
        std::unique_ptr<platform::ReadableFile> real;
        platform::Error error;
        bool first = true;
    };

    // The planted failure of `operation`, else what the real file system does.
    template <class Real>
    auto failOr(Operation operation, Real real) const -> decltype(real()) {
        if (auto error = failure(operation)) {
            return *error;
        }
        return real();
    }

    std::optional<platform::Error> failure(Operation operation) const {
        std::lock_guard lock(mutex_);
        auto found = failures_.find(operation);
        return found == failures_.end() ? std::nullopt : std::optional(found->second);
    }

    mutable std::mutex mutex_;
    std::map<Operation, platform::Error> failures_;
};

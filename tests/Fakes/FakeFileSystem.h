#pragma once

#include <map>
#include <mutex>
#include <string>

#include "Platform/Desktop/DesktopFileSystem.h"

// The real container file system, with any operation made to fail on demand.
class FakeFileSystem : public DesktopFileSystem {
public:
    enum class Operation {
        createDirectories,
        remove,
        list,
        read,
        // reading an opened file, after its first piece, as a failing disk would
        readOnward,
        writeAtomically,
        replace,
        figures
    };

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

    [[nodiscard]] std::optional<platform::Error> createDirectories(
        const std::filesystem::path& path) override {
        return failOr(Operation::createDirectories,
                      [&] { return DesktopFileSystem::createDirectories(path); });
    }
    [[nodiscard]] std::optional<platform::Error> remove(
        const std::filesystem::path& path) override {
        return failOr(Operation::remove, [&] { return DesktopFileSystem::remove(path); });
    }
    platform::Result<std::vector<std::string>> contentsOfDirectory(
        const std::filesystem::path& directory) const override {
        if (auto error = failure(Operation::list)) {
            return *error;
        }
        return DesktopFileSystem::contentsOfDirectory(directory);
    }
    platform::Result<std::vector<platform::DirectoryEntry>> contentsWithSizes(
        const std::filesystem::path& directory) const override {
        if (auto error = failure(Operation::list)) {
            return *error;
        }
        return DesktopFileSystem::contentsWithSizes(directory);
    }
    platform::Result<std::string> read(const std::filesystem::path& file) const override {
        if (auto error = failure(Operation::read)) {
            return *error;
        }
        return DesktopFileSystem::read(file);
    }
    [[nodiscard]] platform::Result<std::unique_ptr<platform::ReadableFile>> openForReading(
        const std::filesystem::path& file) const override {
        if (auto error = failure(Operation::read)) {
            return *error;
        }
        auto opened = DesktopFileSystem::openForReading(file);
        if (!opened.ok()) {
            return opened;
        }
        if (auto error = failure(Operation::readOnward)) {
            return std::unique_ptr<platform::ReadableFile>(
                std::make_unique<FailingOnward>(std::move(opened.value()), *error));
        }
        return opened;
    }
    [[nodiscard]] std::optional<platform::Error> writeAtomically(const std::filesystem::path& file,
                                                                 std::string_view bytes) override {
        return failOr(Operation::writeAtomically,
                      [&] { return DesktopFileSystem::writeAtomically(file, bytes); });
    }
    [[nodiscard]] std::optional<platform::Error> replace(const std::filesystem::path& from,
                                                         const std::filesystem::path& to) override {
        return failOr(Operation::replace, [&] { return DesktopFileSystem::replace(from, to); });
    }
    platform::Result<platform::FileSystemFigures> figures(
        const std::filesystem::path& path) const override {
        if (auto error = failure(Operation::figures)) {
            return *error;
        }
        if (fixedFigures) {
            return *fixedFigures;
        }
        return DesktopFileSystem::figures(path);
    }

private:
    class FailingOnward : public platform::ReadableFile {
    public:
        FailingOnward(std::unique_ptr<platform::ReadableFile> real, platform::Error error)
            : real_(std::move(real)), error_(std::move(error)) {}
        platform::Result<std::size_t> read(char* into, std::size_t size) override {
            if (std::exchange(first_, false)) {
                return real_->read(into, size);
            }
            return error_;
        }

    private:
        std::unique_ptr<platform::ReadableFile> real_;
        platform::Error error_;
        bool first_ = true;
    };

    template <class Real>
    std::optional<platform::Error> failOr(Operation operation, Real real) {
        if (auto error = failure(operation)) {
            return error;
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

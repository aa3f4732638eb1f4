#pragma once

#include <mutex>

#include "Fakes/FakeFileSystem.h"
#include "Platform/Desktop/DesktopFileSystem.h"

// The real container on disk, for what only the disk shows (a transfer's own file placed into
// it), with replacing made to fail on demand.
class FailingDesktopFileSystem : public DesktopFileSystem {
public:
    using DesktopFileSystem::DesktopFileSystem;

    void fail(FakeFileSystem::Operation operation, std::string description) {
        std::lock_guard lock(mutex_);
        failure_ = operation == FakeFileSystem::Operation::replace
                       ? std::optional(platform::Error{std::move(description)})
                       : std::nullopt;
    }
    void heal() { fail({}, {}); }

    std::optional<platform::Error> replace(const std::filesystem::path& from,
                                           const std::filesystem::path& to) override {
        std::unique_lock lock(mutex_);
        if (failure_) {
            return failure_;
        }
        lock.unlock();
        return DesktopFileSystem::replace(from, to);
    }

private:
    std::mutex mutex_;
    std::optional<platform::Error> failure_;
};

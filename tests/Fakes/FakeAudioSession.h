#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Platform/Desktop/DesktopAudioSession.h"

// The desktop session, recording each call and failing on demand.
class FakeAudioSession : public DesktopAudioSession {
public:
    std::optional<platform::Error> failCategory;
    std::optional<platform::Error> failActivation;

    [[nodiscard]] std::optional<platform::Error> setCategory(std::string_view category,
                                                             std::string_view mode,
                                                             std::uint64_t options) override {
        record("setCategory " + std::string(category) + " " + std::string(mode) + " " +
               std::to_string(options));
        return failCategory ? failCategory
                            : DesktopAudioSession::setCategory(category, mode, options);
    }

    [[nodiscard]] std::optional<platform::Error> setActive(bool active,
                                                           std::uint64_t options) override {
        record("setActive " + std::to_string(active) + " " + std::to_string(options));
        return failActivation ? failActivation : DesktopAudioSession::setActive(active, options);
    }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

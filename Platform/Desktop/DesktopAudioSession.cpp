#include "Platform/Desktop/DesktopAudioSession.h"

std::optional<platform::Error> DesktopAudioSession::setCategory(std::string_view category,
                                                                std::string_view mode,
                                                                std::uint64_t options) {
    std::lock_guard lock(mutex_);
    state_.category = category;
    state_.mode = mode;
    state_.options = options;
    return std::nullopt;
}

std::optional<platform::Error> DesktopAudioSession::setActive(bool active, std::uint64_t) {
    std::lock_guard lock(mutex_);
    state_.active = active;
    return std::nullopt;
}

platform::AudioSession::State DesktopAudioSession::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

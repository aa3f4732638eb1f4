#pragma once

#include <mutex>

#include "Platform/AudioSession.h"

// Linux mixes every application's audio itself, so the session is the state the application
// asked for, kept for the host to report.
class DesktopAudioSession : public platform::AudioSession {
public:
    [[nodiscard]] std::optional<platform::Error> setCategory(std::string_view category,
                                                             std::string_view mode,
                                                             std::uint64_t options) override;
    [[nodiscard]] std::optional<platform::Error> setActive(bool active,
                                                           std::uint64_t options) override;
    State state() const override;

private:
    mutable std::mutex mutex_;
    State state_{"soloAmbient", "default", 0, false};
};

#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Platform/Desktop/DesktopAudioSession.h"

// The desktop session, logging each call and failing on demand. Test thread only.
class FakeAudioSession : public DesktopAudioSession {
public:
    std::optional<platform::Error> failCategory;
    std::optional<platform::Error> failActivation;
    std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();

    [[nodiscard]] std::optional<platform::Error> setCategory(std::string_view category,
                                                             std::string_view mode,
                                                             std::uint64_t options) override {
        log->push_back("setCategory " + std::string(category) + " " + std::string(mode) + " " +
                       std::to_string(options));
        return failCategory ? failCategory
                            : DesktopAudioSession::setCategory(category, mode, options);
    }

    [[nodiscard]] std::optional<platform::Error> setActive(bool active,
                                                           std::uint64_t options) override {
        log->push_back("setActive " + std::to_string(active) + " " + std::to_string(options));
        return failActivation ? failActivation : DesktopAudioSession::setActive(active, options);
    }
};

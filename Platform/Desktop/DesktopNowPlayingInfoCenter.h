#pragma once

#include <mutex>

#include "Platform/NowPlayingInfoCenter.h"

// What is playing, kept for the host to report and for the desktop's media controls to show.
class DesktopNowPlayingInfoCenter : public platform::NowPlayingInfoCenter {
public:
    void setPlaybackState(platform::PlaybackState state) override;
    platform::PlaybackState playbackState() const override;
    void setNowPlayingInfo(std::optional<platform::NowPlayingInfo> info) override;
    std::optional<platform::NowPlayingInfo> nowPlayingInfo() const override;

private:
    mutable std::mutex mutex_;
    platform::PlaybackState playbackState_ = platform::PlaybackState::unknown;
    std::optional<platform::NowPlayingInfo> info_;
};

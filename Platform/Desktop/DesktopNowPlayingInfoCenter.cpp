#include "Platform/Desktop/DesktopNowPlayingInfoCenter.h"

void DesktopNowPlayingInfoCenter::setPlaybackState(platform::PlaybackState state) {
    std::lock_guard lock(mutex_);
    playbackState_ = state;
}

platform::PlaybackState DesktopNowPlayingInfoCenter::playbackState() const {
    std::lock_guard lock(mutex_);
    return playbackState_;
}

void DesktopNowPlayingInfoCenter::setNowPlayingInfo(std::optional<platform::NowPlayingInfo> info) {
    std::lock_guard lock(mutex_);
    info_ = std::move(info);
}

std::optional<platform::NowPlayingInfo> DesktopNowPlayingInfoCenter::nowPlayingInfo() const {
    std::lock_guard lock(mutex_);
    return info_;
}

#include "Platform/Desktop/DesktopNowPlayingInfoCenter.h"

void DesktopNowPlayingInfoCenter::setPlaybackState(platform::PlaybackState state) {
    {
        std::lock_guard lock(mutex_);
        playbackState_ = state;
    }
    changes_.notify();
}

platform::PlaybackState DesktopNowPlayingInfoCenter::playbackState() const {
    std::lock_guard lock(mutex_);
    return playbackState_;
}

void DesktopNowPlayingInfoCenter::setNowPlayingInfo(std::optional<platform::NowPlayingInfo> info) {
    {
        std::lock_guard lock(mutex_);
        info_ = std::move(info);
    }
    changes_.notify();
}

std::optional<platform::NowPlayingInfo> DesktopNowPlayingInfoCenter::nowPlayingInfo() const {
    std::lock_guard lock(mutex_);
    return info_;
}

void DesktopNowPlayingInfoCenter::setObserver(std::function<void()> observer) {
    changes_.setObserver(std::move(observer));
}

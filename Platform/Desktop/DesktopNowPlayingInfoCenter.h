#pragma once

#include <functional>
#include <mutex>

#include "Platform/Desktop/ChangeNotifier.h"
#include "Platform/NowPlayingInfoCenter.h"

// What is playing, kept for the host to report and for the desktop's media controls to show.
class DesktopNowPlayingInfoCenter : public platform::NowPlayingInfoCenter {
public:
    void setPlaybackState(platform::PlaybackState state) override;
    platform::PlaybackState playbackState() const override;
    void setNowPlayingInfo(std::optional<platform::NowPlayingInfo> info) override;
    std::optional<platform::NowPlayingInfo> nowPlayingInfo() const override;

    // Told after every change, on the changing thread and outside the center's lock. It must
    // not call back into whoever is publishing: it only notes that something changed. Returns
    // once the observer it replaces has finished every call, so its owner may then go away.
    void setObserver(std::function<void()> observer);

private:
    ChangeNotifier changes_;
    mutable std::mutex mutex_;
    platform::PlaybackState playbackState_ = platform::PlaybackState::unknown;
    std::optional<platform::NowPlayingInfo> info_;
};

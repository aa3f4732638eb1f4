#pragma once

#include <optional>
#include <string>

#include "Platform/ImageDecoder.h"

namespace platform {

// Raw values as the system's media controls understand them.
enum class PlaybackState : int { unknown = 0, playing = 1, paused = 2, stopped = 3 };

// What the player says it can do and how it plays, beyond the track itself. Each stays unset
// until the player reports it; an unset one is shown as the system shows it without a player's
// word.
struct PlayerControls {
    std::optional<bool> shuffle;
    std::optional<std::string> loop;  // "none", "track" or "playlist"
    std::optional<double> volume;     // 0 to 1
    std::optional<bool> canNext;
    std::optional<bool> canPrevious;
    std::optional<bool> canSeek;
    std::optional<bool> canPlay;
    std::optional<bool> canPause;
    // Whether the player tells stop from pause, and handles a seek by an offset itself.
    std::optional<bool> canStop;
    std::optional<bool> canSeekBy;
};

// What the system shows about the current track.
struct NowPlayingInfo {
    std::string title;
    std::string artist;
    std::string albumTitle;
    double playbackDuration = 0;
    double elapsedPlaybackTime = 0;
    float playbackRate = 0;
    // The system asks the artwork for a picture of some size; ours always answers this one.
    std::optional<Image> artwork;
    PlayerControls controls;
};

// The system's now-playing display. Safe from any thread. Implementations never call back into
// their callers, so a caller may hold its own lock while publishing.
class NowPlayingInfoCenter {
public:
    virtual ~NowPlayingInfoCenter() = default;

    virtual void setPlaybackState(PlaybackState state) = 0;
    virtual PlaybackState playbackState() const = 0;
    // Replaces the whole information; nothing removes it.
    virtual void setNowPlayingInfo(std::optional<NowPlayingInfo> info) = 0;
    // The information last set, or nothing before the first.
    virtual std::optional<NowPlayingInfo> nowPlayingInfo() const = 0;
};

}  // namespace platform

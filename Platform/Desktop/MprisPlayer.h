#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "Platform/Desktop/DesktopRemoteCommandCenter.h"
#include "Platform/NowPlayingInfoCenter.h"

namespace sdbus {
class IObject;
}  // namespace sdbus

// The player half of the desktop's media controls: MPRIS's Player interface, what it shows, and
// how its methods and writable properties become remote commands. What the page said it can do
// narrows what the commands' handlers allow; what it never said leaves that as it is.
//
// Used on the media controls' thread only.
class MprisPlayer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr const char* interfaceName = "org.mpris.MediaPlayer2.Player";

    explicit MprisPlayer(std::shared_ptr<DesktopRemoteCommandCenter> commands);

    // Adds the interface to an object not yet registered. Shuffle, LoopStatus and a writable
    // Volume are offered only once the page has reported them.
    void registerOn(sdbus::IObject& object);
    // Takes a publication made at `changedAt`; true when it offers other properties than the ones
    // registered, which sd-bus fixes at registration: the object must then be made anew.
    bool take(std::optional<platform::NowPlayingInfo> info, platform::PlaybackState state,
              Clock::time_point changedAt, std::string artURL);
    // Tells the widget what `take` changed, and that the position jumped when it did.
    void announce(sdbus::IObject& object);

private:
    // What was last published, and when, to tell playing on from a jump.
    struct Published {
        std::optional<platform::NowPlayingInfo> info;
        platform::PlaybackState state = platform::PlaybackState::unknown;
        Clock::time_point at = Clock::now();
        long track = 0;
        std::string artURL;
    };

    void registerMethods(sdbus::IObject& object);
    void registerProperties(sdbus::IObject& object);
    void registerOptionalProperties(sdbus::IObject& object);
    void seekBy(std::int64_t offset);
    std::int64_t positionMicroseconds(Clock::time_point at) const;
    // Whether `position` lies past the end of the track shown.
    bool beyondEnd(std::int64_t position) const;
    std::string trackId() const;
    const platform::PlayerControls& controls() const;
    // Which of the optional properties the last publication offers, one bit each.
    unsigned offered() const;
    void send(platform::RemoteCommandEvent event);
    // Whether the command has a handler and the page has not said it cannot do it.
    bool can(platform::RemoteCommand command, std::optional<bool> pageSays = {}) const;
    bool canGoNext() const;

    std::shared_ptr<DesktopRemoteCommandCenter> commands_;
    Published published_;
    unsigned registered_ = 0;
    bool jumped_ = false;
    // A seek was sent: the next report of the same track is its outcome, however small the jump.
    bool seekSent_ = false;
};

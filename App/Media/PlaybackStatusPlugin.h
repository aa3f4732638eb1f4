#pragma once

#include <string_view>

#include "App/Bridge/CAPPlugin.h"
#include "App/Bridge/CAPPluginCall.h"

// Connects the web player to the media session both ways: `updateStatus` reports the player's
// state for the system's now-playing display, and the media controls come back as the events
// "playMusic", "pauseMusic", "changeTrack" (with "dir") and "iosSeek" (with "time" in seconds),
// and for a player that says it handles them, "stopMusic", "seekBy" (with "offset" in seconds),
// "setShuffle", "setLoop" and "setVolume".
class PlaybackStatusPlugin : public CAPPlugin {
public:
    using CAPPlugin::CAPPlugin;

    // Installs the five media-control callbacks on the shared manager, replacing earlier ones.
    void load() override;

    // Takes "state", "position" and "duration" (milliseconds), "playbackRate", "title",
    // "artist", "album" and "thumbnail"; each absent one resets its field. The optional "shuffle",
    // "loop", "volume" and "can..." keys say what the controls may offer. Always resolves.
    void updateStatus(const CAPPluginCall& call);

private:
    void sendEvent(std::string_view eventName, JSObject data = JSObject::object()) const;
};

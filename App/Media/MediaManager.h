#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "Platform/NowPlayingInfoCenter.h"
#include "Platform/RemoteCommandCenter.h"
#include "Platform/Services.h"

// The process's media session for the web player: configures the audio session, turns the
// system's media controls into callbacks, and publishes what is playing. It plays nothing itself.
//
// Every method is safe from any thread. The fields are guarded by one mutex: a reader never sees
// a half-written field, and callbacks and command handlers never run under it.
class MediaManager : public std::enable_shared_from_this<MediaManager> {
public:
    // Run by the media controls; installed by whoever relays them to the web player.
    struct Callbacks {
        std::function<void()> onPlay;
        std::function<void()> onPause;
        std::function<void()> onNext;
        std::function<void()> onPrevious;
        std::function<void(double)> onSeek;  // a position in seconds
        std::function<void()> onStop = {};
        std::function<void(double)> onSeekBy = {};  // an offset in seconds, negative backwards
        std::function<void(bool)> onShuffle = {};
        std::function<void(const std::string&)> onLoop = {};  // "none", "track" or "playlist"
        std::function<void(double)> onVolume = {};            // 0 to 1
    };

    // What is published as now playing.
    struct Status {
        platform::PlaybackState playbackState = platform::PlaybackState::stopped;
        std::string title;
        std::string artist;
        std::string album;
        std::string artworkURL;  // empty: no artwork
        double duration = 0;     // seconds
        double position = 0;     // seconds
        float rate = 0;
        platform::PlayerControls controls = {};
    };

    // The one instance, made on first use on the bridge's platform services, which every caller
    // passes. Only a test passes others: the instance is then made anew on them, so no test runs
    // on another's fakes.
    static std::shared_ptr<MediaManager> shared(const platform::Services& services);
    // Makes a manager on the given services: initial values, then `configureAudioSession`, then
    // `registerRemoteCommands`. `shared` is the only caller outside tests.
    static std::shared_ptr<MediaManager> create(const platform::Services& services);

    // Sets the audio session up for playback and activates it; a failure prints one
    // "Audio session error: " line on standard output and skips what is left.
    void configureAudioSession();
    // Enables the media commands and makes this manager's handlers their only ones.
    void registerRemoteCommands();
    // Publishes the status and the playback state, then starts loading the artwork.
    void updateNowPlayingInfo();

    Callbacks callbacks() const;
    void setCallbacks(Callbacks callbacks);
    Status status() const;
    // Writes every field of the status as one update.
    void setStatus(Status status);

private:
    struct Passkey {};

public:
    MediaManager(Passkey, const platform::Services& services);

private:
    static platform::RemoteCommandHandler handlerFor(platform::RemoteCommand command,
                                                     std::weak_ptr<MediaManager> manager);
    platform::RemoteCommandHandlerStatus runCallback(platform::RemoteCommand command);
    platform::RemoteCommandHandlerStatus changePlaybackPosition(
        const platform::RemoteCommandEvent& event);
    // The commands that carry a value for the player: refused without it.
    platform::RemoteCommandHandlerStatus runValueCallback(
        const platform::RemoteCommandEvent& event);
    void loadArtwork(const std::string& url);
    void mergeArtwork(const std::string& url, platform::Image image);

    platform::Services services_;
    mutable std::mutex mutex_;
    Callbacks callbacks_;
    Status status_;
};

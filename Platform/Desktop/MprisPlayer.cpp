#include "Platform/Desktop/MprisPlayer.h"

#include <sdbus-c++/sdbus-c++.h>
#include <algorithm>
#include <cmath>
#include <limits>

#include "Platform/Desktop/BusText.h"

using platform::RemoteCommand;

namespace {
// A publication whose position differs from playing on by more than this was a jump.
constexpr double seekTolerance = 1.0;
constexpr unsigned offersShuffle = 1, offersLoop = 2, offersVolume = 4;
const platform::PlayerControls noControls;

std::string statusName(platform::PlaybackState state) {
    switch (state) {
        case platform::PlaybackState::playing:
            return "Playing";
        case platform::PlaybackState::paused:
            return "Paused";
        default:
            return "Stopped";
    }
}

// Saturates: a page may report any number of milliseconds, and a widget any offset.
std::int64_t microseconds(double seconds) {
    constexpr double limit = 9.2e18;
    double value = seconds * 1e6;
    return std::isnan(value)
               ? 0
               : static_cast<std::int64_t>(std::llround(std::clamp(value, -limit, limit)));
}

std::int64_t saturatingSum(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

bool sameTrack(const platform::NowPlayingInfo& a, const platform::NowPlayingInfo& b) {
    return a.title == b.title && a.artist == b.artist && a.albumTitle == b.albumTitle;
}

// MPRIS's loop names and the page's.
constexpr std::pair<const char*, const char*> loopNames[] = {
    {"None", "none"}, {"Track", "track"}, {"Playlist", "playlist"}};
}  // namespace

MprisPlayer::MprisPlayer(std::shared_ptr<DesktopRemoteCommandCenter> commands)
    : commands_(std::move(commands)) {}

void MprisPlayer::registerOn(sdbus::IObject& object) {
    registerMethods(object);
    registerProperties(object);
    registerOptionalProperties(object);
    registered_ = offered();
}

void MprisPlayer::registerMethods(sdbus::IObject& object) {
    object.registerMethod("Play").onInterface(interfaceName).implementedAs([this] {
        if (can(RemoteCommand::play, controls().canPlay)) {
            send({RemoteCommand::play});
        }
    });
    object.registerMethod("Pause").onInterface(interfaceName).implementedAs([this] {
        if (can(RemoteCommand::pause, controls().canPause)) {
            send({RemoteCommand::pause});
        }
    });
    object.registerMethod("Stop").onInterface(interfaceName).implementedAs([this] {
        // A page that never said it tells stop from pause hears pause, as it always did.
        send({controls().canStop.value_or(false) ? RemoteCommand::stop : RemoteCommand::pause});
    });
    object.registerMethod("PlayPause").onInterface(interfaceName).implementedAs([this] {
        bool pause = published_.state == platform::PlaybackState::playing;
        if (pause ? can(RemoteCommand::pause, controls().canPause)
                  : can(RemoteCommand::play, controls().canPlay)) {
            send({pause ? RemoteCommand::pause : RemoteCommand::play});
        }
    });
    object.registerMethod("Next").onInterface(interfaceName).implementedAs([this] {
        if (canGoNext()) {
            send({RemoteCommand::nextTrack});
        }
    });
    object.registerMethod("Previous").onInterface(interfaceName).implementedAs([this] {
        if (can(RemoteCommand::previousTrack, controls().canPrevious)) {
            send({RemoteCommand::previousTrack});
        }
    });
    object.registerMethod("Seek")
        .onInterface(interfaceName)
        .implementedAs([this](std::int64_t offset) { seekBy(offset); });
    object.registerMethod("SetPosition")
        .onInterface(interfaceName)
        .implementedAs([this](const sdbus::ObjectPath& track, std::int64_t position) {
            // A position meant for another track, or outside this one, is ignored, as MPRIS asks.
            if (track == trackId() && position >= 0 && !beyondEnd(position) &&
                can(RemoteCommand::changePlaybackPosition, controls().canSeek)) {
                send({RemoteCommand::changePlaybackPosition, static_cast<double>(position) / 1e6});
            }
        });
    object.registerMethod("OpenUri")
        .onInterface(interfaceName)
        .implementedAs([](const std::string&) {
            throw sdbus::Error("org.mpris.MediaPlayer2.musicshell.Error.NotSupported",
                               "The web application chooses what plays");
        });
    object.registerSignal("Seeked").onInterface(interfaceName).withParameters<std::int64_t>();
}

void MprisPlayer::seekBy(std::int64_t offset) {
    if (!can(RemoteCommand::changePlaybackPosition, controls().canSeek)) {
        return;
    }
    auto target = saturatingSum(positionMicroseconds(Clock::now()), offset);
    if (beyondEnd(target)) {
        // Seeking past the end is going next, as MPRIS asks; nothing when there is none.
        if (canGoNext()) {
            send({RemoteCommand::nextTrack});
        }
        return;
    }
    platform::RemoteCommandEvent event{
        RemoteCommand::changePlaybackPosition,
        static_cast<double>(std::max<std::int64_t>(0, target)) / 1e6};
    if (controls().canSeekBy.value_or(false)) {
        // The page seeks by the offset itself, from where it really is.
        event = {RemoteCommand::seekBy};
        event.offset = static_cast<double>(offset) / 1e6;
    }
    send(std::move(event));
}

void MprisPlayer::registerProperties(sdbus::IObject& object) {
    object.registerProperty("PlaybackStatus").onInterface(interfaceName).withGetter([this] {
        return statusName(published_.state);
    });
    object.registerProperty("Rate").onInterface(interfaceName).withGetter([this] {
        return published_.info ? static_cast<double>(published_.info->playbackRate) : 1.0;
    });
    object.registerProperty("MinimumRate").onInterface(interfaceName).withGetter([] {
        return 0.0;
    });
    object.registerProperty("MaximumRate").onInterface(interfaceName).withGetter([] {
        return 16.0;
    });
    object.registerProperty("Position").onInterface(interfaceName).withGetter([this] {
        return positionMicroseconds(Clock::now());
    });
    object.registerProperty("Metadata").onInterface(interfaceName).withGetter([this] {
        std::map<std::string, sdbus::Variant> metadata;
        metadata["mpris:trackid"] = sdbus::Variant(sdbus::ObjectPath(trackId()));
        if (const auto& info = published_.info) {
            metadata["xesam:title"] = sdbus::Variant(busText(info->title));
            metadata["xesam:artist"] =
                sdbus::Variant(std::vector<std::string>{busText(info->artist)});
            metadata["xesam:album"] = sdbus::Variant(busText(info->albumTitle));
            metadata["mpris:length"] = sdbus::Variant(microseconds(info->playbackDuration));
        }
        if (!published_.artURL.empty()) {
            metadata["mpris:artUrl"] = sdbus::Variant(busText(published_.artURL));
        }
        return metadata;
    });
    object.registerProperty("CanGoNext").onInterface(interfaceName).withGetter([this] {
        return canGoNext();
    });
    object.registerProperty("CanGoPrevious").onInterface(interfaceName).withGetter([this] {
        return can(RemoteCommand::previousTrack, controls().canPrevious);
    });
    object.registerProperty("CanPlay").onInterface(interfaceName).withGetter([this] {
        return can(RemoteCommand::play, controls().canPlay);
    });
    object.registerProperty("CanPause").onInterface(interfaceName).withGetter([this] {
        return can(RemoteCommand::pause, controls().canPause);
    });
    object.registerProperty("CanSeek").onInterface(interfaceName).withGetter([this] {
        return can(RemoteCommand::changePlaybackPosition, controls().canSeek);
    });
    object.registerProperty("CanControl").onInterface(interfaceName).withGetter([] {
        return true;
    });
}

void MprisPlayer::registerOptionalProperties(sdbus::IObject& object) {
    auto volume = [this] { return controls().volume.value_or(1.0); };
    if ((offered() & offersVolume) == 0) {
        // Read-only: sd-bus then answers a change with "Property 'Volume' is not writable."
        object.registerProperty("Volume").onInterface(interfaceName).withGetter(volume);
    } else {
        object.registerProperty("Volume")
            .onInterface(interfaceName)
            .withGetter(volume)
            .withSetter([this](const double& value) {
                platform::RemoteCommandEvent event{RemoteCommand::changeVolume};
                event.volume = std::isnan(value) ? 0.0 : std::clamp(value, 0.0, 1.0);
                send(std::move(event));
            });
    }
    if ((offered() & offersShuffle) != 0) {
        object.registerProperty("Shuffle")
            .onInterface(interfaceName)
            .withGetter([this] { return controls().shuffle.value_or(false); })
            .withSetter([this](const bool& value) {
                platform::RemoteCommandEvent event{RemoteCommand::changeShuffleMode};
                event.shuffle = value;
                send(std::move(event));
            });
    }
    if ((offered() & offersLoop) != 0) {
        object.registerProperty("LoopStatus")
            .onInterface(interfaceName)
            .withGetter([this] {
                for (auto [shown, page] : loopNames) {
                    if (controls().loop == page) {
                        return std::string(shown);
                    }
                }
                return std::string("None");
            })
            .withSetter([this](const std::string& value) {
                for (auto [shown, page] : loopNames) {
                    if (value == shown) {
                        platform::RemoteCommandEvent event{RemoteCommand::changeRepeatMode};
                        event.loop = page;
                        send(std::move(event));
                        return;
                    }
                }
                throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs",
                                   "LoopStatus is None, Track or Playlist");
            });
    }
}

bool MprisPlayer::take(std::optional<platform::NowPlayingInfo> info, platform::PlaybackState state,
                       Clock::time_point changedAt, std::string artURL) {
    jumped_ = false;
    if (info && published_.info && sameTrack(*info, *published_.info)) {
        double expected = static_cast<double>(positionMicroseconds(changedAt)) / 1e6;
        jumped_ = std::exchange(seekSent_, false) ||
                  std::abs(info->elapsedPlaybackTime - expected) > seekTolerance;
    } else if (info) {
        ++published_.track;
        seekSent_ = false;
    }
    published_.info = std::move(info);
    published_.state = state;
    published_.at = changedAt;
    published_.artURL = std::move(artURL);
    return offered() != registered_;
}

void MprisPlayer::announce(sdbus::IObject& object) {
    object.emitPropertiesChangedSignal(interfaceName);
    if (jumped_) {
        object.emitSignal("Seeked")
            .onInterface(interfaceName)
            .withArguments(positionMicroseconds(published_.at));
    }
}

std::int64_t MprisPlayer::positionMicroseconds(Clock::time_point at) const {
    if (!published_.info) {
        return 0;
    }
    double seconds = published_.info->elapsedPlaybackTime;
    if (published_.state == platform::PlaybackState::playing) {
        seconds += published_.info->playbackRate *
                   std::chrono::duration<double>(at - published_.at).count();
    }
    return std::max<std::int64_t>(0, microseconds(seconds));
}

bool MprisPlayer::beyondEnd(std::int64_t position) const {
    // While the length is unknown (0) there is no end.
    auto length = published_.info ? microseconds(published_.info->playbackDuration) : 0;
    return length > 0 && position > length;
}

std::string MprisPlayer::trackId() const {
    return "/org/musicshell/track/" + std::to_string(published_.track);
}

const platform::PlayerControls& MprisPlayer::controls() const {
    return published_.info ? published_.info->controls : noControls;
}

unsigned MprisPlayer::offered() const {
    const auto& shown = controls();
    return (shown.shuffle ? offersShuffle : 0) | (shown.loop ? offersLoop : 0) |
           (shown.volume ? offersVolume : 0);
}

void MprisPlayer::send(platform::RemoteCommandEvent event) {
    if (event.command == RemoteCommand::changePlaybackPosition ||
        event.command == RemoteCommand::seekBy) {
        seekSent_ = true;
    }
    commands_->send(event);
}

bool MprisPlayer::can(RemoteCommand command, std::optional<bool> pageSays) const {
    auto state = commands_->commandState(command);
    return state.enabled && state.handlers > 0 && pageSays.value_or(true);
}

bool MprisPlayer::canGoNext() const {
    return can(RemoteCommand::nextTrack, controls().canNext);
}

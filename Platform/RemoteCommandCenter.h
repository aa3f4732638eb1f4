#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class RemoteCommand {
    play,
    pause,
    nextTrack,
    previousTrack,
    changePlaybackPosition,
    stop,
    seekBy,
    changeShuffleMode,
    changeRepeatMode,
    changeVolume,
};

inline constexpr std::array<RemoteCommand, 10> allRemoteCommands = {
    RemoteCommand::play,
    RemoteCommand::pause,
    RemoteCommand::nextTrack,
    RemoteCommand::previousTrack,
    RemoteCommand::changePlaybackPosition,
    RemoteCommand::stop,
    RemoteCommand::seekBy,
    RemoteCommand::changeShuffleMode,
    RemoteCommand::changeRepeatMode,
    RemoteCommand::changeVolume};

// The names the host protocol and the logs use: "play", "pause", "nextTrack", ...
std::string_view remoteCommandName(RemoteCommand command);
std::optional<RemoteCommand> remoteCommandNamed(std::string_view name);

// Raw values as the system's media controls understand them.
enum class RemoteCommandHandlerStatus : int {
    success = 0,
    noSuchContent = 100,
    noActionableNowPlayingItem = 110,
    deviceNotFound = 120,
    commandFailed = 200,
};

// One press of a media control. A change-playback-position event carries the position asked
// for; any other event of that command lacks it and is not a position event. So with the other
// commands that carry a value: an event without it is refused.
struct RemoteCommandEvent {
    RemoteCommandEvent(RemoteCommand pressed = RemoteCommand::play,
                       std::optional<double> position = std::nullopt)
        : command(pressed), positionTime(position) {}

    RemoteCommand command = RemoteCommand::play;
    std::optional<double> positionTime;
    std::optional<double> offset;     // seekBy: seconds, negative backwards
    std::optional<bool> shuffle;      // changeShuffleMode
    std::optional<std::string> loop;  // changeRepeatMode: "none", "track" or "playlist"
    std::optional<double> volume;     // changeVolume: 0 to 1
};

using RemoteCommandHandler = std::function<RemoteCommandHandlerStatus(const RemoteCommandEvent&)>;

// The system's media controls (lock screen, media keys, desktop widgets). Safe from any thread;
// handlers run on the thread that delivers the command, never under the center's own lock.
class RemoteCommandCenter {
public:
    struct CommandState {
        bool enabled = false;
        std::size_t handlers = 0;
    };

    virtual ~RemoteCommandCenter() = default;

    virtual void setEnabled(RemoteCommand command, bool enabled) = 0;
    // Removes every handler of the command, whoever added it.
    virtual void removeAllTargets(RemoteCommand command) = 0;
    virtual void addTarget(RemoteCommand command, RemoteCommandHandler handler) = 0;
    virtual CommandState commandState(RemoteCommand command) const = 0;

    // Delivers a command as the system does: runs its handlers in the order they were added and
    // gives the last one's status, or nothing when the command is disabled or has no handler.
    virtual std::optional<RemoteCommandHandlerStatus> send(const RemoteCommandEvent& event) = 0;
};

}  // namespace platform

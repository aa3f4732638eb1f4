#include "Platform/RemoteCommandCenter.h"

namespace platform {

namespace {
constexpr std::array<std::string_view, allRemoteCommands.size()> commandNames = {
    "play", "pause",  "nextTrack",         "previousTrack",    "changePlaybackPosition",
    "stop", "seekBy", "changeShuffleMode", "changeRepeatMode", "changeVolume"};
}

std::string_view remoteCommandName(RemoteCommand command) {
    return commandNames[static_cast<std::size_t>(command)];
}

std::optional<RemoteCommand> remoteCommandNamed(std::string_view name) {
    for (RemoteCommand command : allRemoteCommands) {
        if (remoteCommandName(command) == name) {
            return command;
        }
    }
    return std::nullopt;
}

}  // namespace platform

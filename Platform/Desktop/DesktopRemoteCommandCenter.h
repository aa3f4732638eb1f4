#pragma once

#include <array>
#include <functional>
#include <mutex>
#include <vector>

#include "Platform/Desktop/ChangeNotifier.h"
#include "Platform/RemoteCommandCenter.h"

// The handler table of the five media commands. Commands come from the host's stdio protocol and
// from the desktop's media controls.
class DesktopRemoteCommandCenter : public platform::RemoteCommandCenter {
public:
    void setEnabled(platform::RemoteCommand command, bool enabled) override;
    void removeAllTargets(platform::RemoteCommand command) override;
    void addTarget(platform::RemoteCommand command,
                   platform::RemoteCommandHandler handler) override;
    CommandState commandState(platform::RemoteCommand command) const override;
    std::optional<platform::RemoteCommandHandlerStatus> send(
        const platform::RemoteCommandEvent& event) override;

    // Told after the commands' enabled state or handlers change, outside the center's lock.
    // Returns once the observer it replaces has finished every call.
    void setObserver(std::function<void()> observer);

private:
    struct Command {
        bool enabled = false;
        std::vector<platform::RemoteCommandHandler> handlers;
    };

    mutable std::mutex mutex_;
    ChangeNotifier changes_;
    std::array<Command, platform::allRemoteCommands.size()> commands_;
};

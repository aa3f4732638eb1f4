#include "Platform/Desktop/DesktopRemoteCommandCenter.h"

namespace {
std::size_t indexOf(platform::RemoteCommand command) {
    return static_cast<std::size_t>(command);
}
}  // namespace

void DesktopRemoteCommandCenter::setEnabled(platform::RemoteCommand command, bool enabled) {
    {
        std::lock_guard lock(mutex_);
        commands_[indexOf(command)].enabled = enabled;
    }
    changes_.notify();
}

void DesktopRemoteCommandCenter::removeAllTargets(platform::RemoteCommand command) {
    std::vector<platform::RemoteCommandHandler> removed;
    {
        std::lock_guard lock(mutex_);
        removed.swap(commands_[indexOf(command)].handlers);
    }
    changes_.notify();
}

void DesktopRemoteCommandCenter::addTarget(platform::RemoteCommand command,
                                           platform::RemoteCommandHandler handler) {
    {
        std::lock_guard lock(mutex_);
        commands_[indexOf(command)].handlers.push_back(std::move(handler));
    }
    changes_.notify();
}

void DesktopRemoteCommandCenter::setObserver(std::function<void()> observer) {
    changes_.setObserver(std::move(observer));
}
platform::RemoteCommandCenter::CommandState DesktopRemoteCommandCenter::commandState(
    platform::RemoteCommand command) const {
    std::lock_guard lock(mutex_);
    const Command& entry = commands_[indexOf(command)];
    return {entry.enabled, entry.handlers.size()};
}

std::optional<platform::RemoteCommandHandlerStatus> DesktopRemoteCommandCenter::send(
    const platform::RemoteCommandEvent& event) {
    std::vector<platform::RemoteCommandHandler> handlers;
    {
        std::lock_guard lock(mutex_);
        const Command& entry = commands_[indexOf(event.command)];
        if (!entry.enabled) {
            return std::nullopt;
        }
        handlers = entry.handlers;
    }
    std::optional<platform::RemoteCommandHandlerStatus> status;
    for (const auto& handler : handlers) {
        status = handler(event);
    }
    return status;
}

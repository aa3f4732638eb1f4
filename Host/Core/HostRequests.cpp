#include "Host/Core/HostRequests.h"

#include <charconv>
#include <cstdlib>

namespace host {

namespace {
CAPCallResult resolved(JSObject data) {
    return {true, std::move(data), {}};
}
CAPCallResult rejected(std::string message) {
    return {false, std::nullopt, std::move(message)};
}

// The double whose shortest text is the float's, so 0.1f shows as 0.1.
double widened(float value) {
    char text[32];
    auto end = std::to_chars(text, text + sizeof text, value).ptr;
    *end = '\0';
    return std::strtod(text, nullptr);
}

JSObject infoObject(const platform::NowPlayingInfo& info) {
    JSObject object = {{"title", info.title},
                       {"artist", info.artist},
                       {"albumTitle", info.albumTitle},
                       {"playbackDuration", info.playbackDuration},
                       {"elapsedPlaybackTime", info.elapsedPlaybackTime},
                       {"playbackRate", widened(info.playbackRate)}};
    if (info.artwork) {
        object["artwork"] = {{"width", info.artwork->width}, {"height", info.artwork->height}};
    }
    return object;
}
}  // namespace

HostRequests::HostRequests(platform::Services services, SerialQueue& mainQueue,
                           platform::Application& application,
                           std::shared_ptr<platform::ApplicationDelegate> delegate,
                           std::function<bool(std::string_view)> receivesURL)
    : services_(std::move(services)),
      mainQueue_(mainQueue),
      application_(application),
      delegate_(std::move(delegate)),
      receivesURL_(std::move(receivesURL)) {}

CAPCallResult HostRequests::handle(const Request& request) {
    const std::string& name = request.host;
    if (name == "remoteCommand") {
        return remoteCommand(request.members);
    }
    if (name == "nowPlaying") {
        return nowPlaying();
    }
    if (name == "audioSession") {
        return audioSession();
    }
    if (name == "commandCenter") {
        return commandCenter();
    }
    if (name == "openURL") {
        return openURL(request.members);
    }
    if (name == "reloadView") {
        return reloadView();
    }
    return rejected("Unknown host request: " + name);
}

CAPCallResult HostRequests::remoteCommand(const JSObject& members) {
    auto command = members.find("command");
    std::string name = command != members.end() && command->is_string()
                           ? command->get<std::string>()
                           : std::string();
    auto which = platform::remoteCommandNamed(name);
    if (!which) {
        return rejected("Unknown remote command: " + name);
    }
    platform::RemoteCommandEvent event{*which, std::nullopt};
    auto position = members.find("positionTime");
    if (*which == platform::RemoteCommand::changePlaybackPosition && position != members.end() &&
        position->is_number()) {
        event.positionTime = position->get<double>();
    }
    auto offset = members.find("offset");
    if (*which == platform::RemoteCommand::seekBy && offset != members.end() &&
        offset->is_number()) {
        event.offset = offset->get<double>();
    }
    auto status = services_.remoteCommandCenter->send(event);
    JSObject data = {{"status", nullptr}};
    if (status) {
        data["status"] = static_cast<int>(*status);
    }
    return resolved(std::move(data));
}

CAPCallResult HostRequests::nowPlaying() const {
    auto& center = *services_.nowPlayingInfoCenter;
    auto info = center.nowPlayingInfo();
    return resolved({{"playbackState", static_cast<int>(center.playbackState())},
                     {"info", info ? infoObject(*info) : JSObject(nullptr)}});
}

CAPCallResult HostRequests::audioSession() const {
    auto state = services_.audioSession->state();
    return resolved({{"category", state.category},
                     {"mode", state.mode},
                     {"options", state.options},
                     {"active", state.active}});
}

CAPCallResult HostRequests::commandCenter() const {
    JSObject data = JSObject::object();
    for (platform::RemoteCommand command : platform::allRemoteCommands) {
        auto state = services_.remoteCommandCenter->commandState(command);
        data[std::string(platform::remoteCommandName(command))] = {{"enabled", state.enabled},
                                                                   {"handlers", state.handlers}};
    }
    return resolved(std::move(data));
}

CAPCallResult HostRequests::openURL(const JSObject& members) {
    auto url = members.find("url");
    if (url == members.end() || !url->is_string()) {
        return rejected("Malformed request: url must be a string");
    }
    bool handled = false;
    if (receivesURL_(url->get_ref<const std::string&>())) {
        mainQueue_.sync(
            [&] { handled = delegate_->openURL(application_, url->get<std::string>(), {}); });
    }
    return resolved({{"handled", handled}});
}

CAPCallResult HostRequests::reloadView() {
    mainQueue_.sync([this] {
        auto window = delegate_->window();
        if (window && window->rootViewController) {
            window->rootViewController->viewDidLoad();
        }
    });
    return {true, std::nullopt, {}};
}

}  // namespace host

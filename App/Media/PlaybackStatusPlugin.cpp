#include "App/Media/PlaybackStatusPlugin.h"

#include <algorithm>
#include <memory>
#include <string>

#include "App/Bridge/CAPPluginClass.h"
#include "App/Media/MediaManager.h"

namespace {
const CAPPluginClass runtimeClass(
    "PlaybackStatusPlugin", &createPlugin<PlaybackStatusPlugin>,
    {CAPPluginMethod::of<PlaybackStatusPlugin, &PlaybackStatusPlugin::updateStatus>(
        "updateStatus")});

platform::PlaybackState playbackStateNamed(std::string state) {
    std::transform(state.begin(), state.end(), state.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (state == "playing") {
        return platform::PlaybackState::playing;
    }
    if (state == "paused") {
        return platform::PlaybackState::paused;
    }
    if (state == "stopped") {
        return platform::PlaybackState::stopped;
    }
    return platform::PlaybackState::unknown;
}

// A callback that holds the plugin weakly and does nothing once it is gone.
template <class... Arguments, class Action>
std::function<void(Arguments...)> weakly(std::weak_ptr<CAPPlugin> plugin, Action action) {
    return [plugin = std::move(plugin), action](Arguments... arguments) {
        if (auto strong = plugin.lock()) {
            action(static_cast<const PlaybackStatusPlugin&>(*strong), arguments...);
        }
    };
}
}  // namespace

void PlaybackStatusPlugin::load() {
    CAPPlugin::load();
    auto manager = MediaManager::shared(platform());
    auto self = weak_from_this();
    manager->setCallbacks({
        weakly(self, [](const PlaybackStatusPlugin& plugin) { plugin.sendEvent("playMusic"); }),
        weakly(self, [](const PlaybackStatusPlugin& plugin) { plugin.sendEvent("pauseMusic"); }),
        weakly(self,
               [](const PlaybackStatusPlugin& plugin) {
                   plugin.sendEvent("changeTrack", {{"dir", 1}});
               }),
        weakly(self,
               [](const PlaybackStatusPlugin& plugin) {
                   plugin.sendEvent("changeTrack", {{"dir", -1}});
               }),
        weakly<double>(self,
                       [](const PlaybackStatusPlugin& plugin, double time) {
                           plugin.sendEvent("iosSeek", {{"time", time}});
                       }),
    });
}

void PlaybackStatusPlugin::updateStatus(const CAPPluginCall& call) {
    std::string state(call.getString("state").value_or("none"));
    std::int64_t position = call.getInt("position").value_or(0);
    std::int64_t duration = call.getInt("duration").value_or(0);
    double rate = call.getDouble("playbackRate").value_or(1.0);
    std::string title(call.getString("title").value_or(""));
    std::string artist(call.getString("artist").value_or(""));
    std::string album(call.getString("album").value_or(""));
    std::string thumbnail(call.getString("thumbnail").value_or(""));

    auto manager = MediaManager::shared(platform());
    MediaManager::Status status;
    status.duration = static_cast<double>(duration) / 1000.0;
    status.position = static_cast<double>(position) / 1000.0;
    status.rate = static_cast<float>(rate);
    status.title = std::move(title);
    status.artist = std::move(artist);
    status.album = std::move(album);
    status.artworkURL = std::move(thumbnail);
    status.playbackState = playbackStateNamed(std::move(state));
    manager->setStatus(std::move(status));
    manager->updateNowPlayingInfo();
    call.resolve();
}

void PlaybackStatusPlugin::sendEvent(std::string_view eventName, JSObject data) const {
    data["event"] = eventName;
    notifyListeners(eventName, data);
}

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
        weakly(self, [](const PlaybackStatusPlugin& plugin) { plugin.sendEvent("stopMusic"); }),
        weakly<double>(self,
                       [](const PlaybackStatusPlugin& plugin, double offset) {
                           plugin.sendEvent("seekBy", {{"offset", offset}});
                       }),
        weakly<bool>(self,
                     [](const PlaybackStatusPlugin& plugin, bool shuffle) {
                         plugin.sendEvent("setShuffle", {{"shuffle", shuffle}});
                     }),
        weakly<const std::string&>(self,
                                   [](const PlaybackStatusPlugin& plugin, const std::string& loop) {
                                       plugin.sendEvent("setLoop", {{"loop", loop}});
                                   }),
        weakly<double>(self,
                       [](const PlaybackStatusPlugin& plugin, double volume) {
                           plugin.sendEvent("setVolume", {{"volume", volume}});
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
    // Beyond the eight keys above, each only when given: what the player can do and its modes.
    platform::PlayerControls controls;
    controls.shuffle = call.getBool("shuffle");
    if (auto loop = call.getString("loop");
        loop && (*loop == "none" || *loop == "track" || *loop == "playlist")) {
        controls.loop = std::string(*loop);
    }
    if (auto volume = call.getDouble("volume"); volume && *volume >= 0 && *volume <= 1) {
        controls.volume = volume;
    }
    controls.canNext = call.getBool("canNext");
    controls.canPrevious = call.getBool("canPrevious");
    controls.canSeek = call.getBool("canSeek");
    controls.canPlay = call.getBool("canPlay");
    controls.canPause = call.getBool("canPause");
    controls.canStop = call.getBool("canStop");
    controls.canSeekBy = call.getBool("canSeekBy");

    auto manager = MediaManager::shared(platform());
    MediaManager::Status status;
    status.duration = static_cast<double>(duration) / 1000.0;
    status.position = static_cast<double>(position) / 1000.0;
    status.rate = static_cast<float>(rate);
    status.title = std::move(title);
    status.artist = std::move(artist);
    status.album = std::move(album);
    status.artworkURL = std::move(thumbnail);
    status.controls = std::move(controls);
    status.playbackState = playbackStateNamed(std::move(state));
    manager->setStatus(std::move(status));
    manager->updateNowPlayingInfo();
    call.resolve();
}

void PlaybackStatusPlugin::sendEvent(std::string_view eventName, JSObject data) const {
    data["event"] = eventName;
    notifyListeners(eventName, data);
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/Bridge/CAPPluginClass.h"
#include "App/Media/MediaManager.h"
#include "App/Media/PlaybackStatusPlugin.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeServices.h"

using platform::PlaybackState;
using platform::RemoteCommand;
using testing::ElementsAre;

namespace {

// The plugin works on the process's shared media manager, made anew on this test's fakes.
class PlaybackStatusPluginTest : public testing::Test {
protected:
    FakeServices fakes;
    std::shared_ptr<FakeBridge> bridge = std::make_shared<FakeBridge>(fakes.services());
    std::shared_ptr<CAPPlugin> plugin = loadedPlugin(bridge);

    static std::shared_ptr<CAPPlugin> loadedPlugin(const std::shared_ptr<FakeBridge>& owner) {
        auto made = createPlugin<PlaybackStatusPlugin>(owner, "PlaybackStatusPlugin",
                                                       "PlaybackStatusPlugin");
        made->load();
        return made;
    }

    void update(JSObject options) {
        std::size_t before = bridge->answers().size();
        static_cast<PlaybackStatusPlugin&>(*plugin).updateStatus(
            CAPPluginCall("1", "updateStatus", std::move(options), bridge));
        ASSERT_EQ(bridge->answers().size(), before + 1);
        EXPECT_TRUE(bridge->answers().back().second.resolved);
        EXPECT_FALSE(bridge->answers().back().second.data);
    }

    // Each command with every value a command may carry.
    void press(RemoteCommand command, std::optional<double> position = {}) {
        platform::RemoteCommandEvent event(command, position);
        std::tie(event.offset, event.shuffle, event.loop, event.volume) =
            std::tuple(-5.0, false, "playlist", 0.5);
        fakes.commandCenter->send(event);
    }
};

// States case-insensitively but exactly; times in milliseconds in and seconds out, whole values
// exactly and fractional ones by their whole part.
TEST_F(PlaybackStatusPluginTest,
       StatesAndTimesArePublishedAsMeantAndEveryCallOverwritesEveryField) {
    const std::vector<std::tuple<JSObject, PlaybackState, JSObject, double>> cases = {
        {"playing", PlaybackState::playing, 1234, 1.234},
        {"PLAYING", PlaybackState::playing, 1, 0.001},
        {"Paused", PlaybackState::paused, 59999, 59.999},
        {"stopped", PlaybackState::stopped, 200000, 200.0},
        {" playing", PlaybackState::unknown, 0, 0.0},
        {"buffering", PlaybackState::unknown, -1500, -1.5},
        {"", PlaybackState::unknown, 1234.56, 1.234},
        {7, PlaybackState::unknown, "1234", 0.0},
    };
    for (const auto& [state, expected, milliseconds, seconds] : cases) {
        update({{"state", state}, {"position", milliseconds}, {"duration", milliseconds}});
        EXPECT_EQ(fakes.nowPlaying->playbackState(), expected) << state.dump();
        auto info = fakes.nowPlaying->nowPlayingInfo().value();
        EXPECT_EQ(info.elapsedPlaybackTime, seconds) << milliseconds;
        EXPECT_EQ(info.playbackDuration, seconds) << milliseconds;
    }

    // Each call writes every field: what it leaves out goes back to its default, and a missing
    // rate is playing speed whatever the state.
    auto fields = [&] {
        auto status = MediaManager::shared(fakes.services())->status();
        return std::tuple(status.playbackState, status.rate, status.title, status.artist,
                          status.album, status.artworkURL);
    };
    update(JSObject::parse(R"({"state": "paused", "playbackRate": 0.5, "title": "One",
        "artist": "A", "album": "B", "thumbnail": "https://art.example/1.png"})"));
    EXPECT_EQ(fields(), std::tuple(PlaybackState::paused, 0.5f, "One", "A", "B",
                                   "https://art.example/1.png"));
    update(JSObject::object());
    EXPECT_EQ(fields(), std::tuple(PlaybackState::unknown, 1.0f, "", "", "", ""));

    // The optional keys are taken only as what the controls can show; a report without one
    // leaves its control as the system shows it without a player's word.
    auto controls = [&] {
        auto shown = MediaManager::shared(fakes.services())->status().controls;
        return std::tuple(shown.shuffle, shown.loop, shown.volume, shown.canNext, shown.canStop);
    };
    update(JSObject::parse(
        R"({"shuffle": true, "loop": "track", "volume": 0.25, "canNext": false, "canStop": 1})"));
    EXPECT_EQ(controls(), std::tuple(true, "track", 0.25, false, std::nullopt));
    update(JSObject::parse(R"({"shuffle": "yes", "loop": "Track", "volume": 1.5})"));
    EXPECT_EQ(controls(), decltype(controls())());
}

// Only the latest loaded instance hears the controls, and a gone one sends nothing.
TEST_F(PlaybackStatusPluginTest, MediaControlsBecomeEventsOfTheLatestInstanceOnly) {
    auto secondBridge = std::make_shared<FakeBridge>(fakes.services());
    auto second = loadedPlugin(secondBridge);
    press(RemoteCommand::play);
    second.reset();
    press(RemoteCommand::pause);
    press(RemoteCommand::changePlaybackPosition, 3.0);
    EXPECT_TRUE(bridge->events().empty());
    EXPECT_EQ(secondBridge->events().size(), 1u);

    plugin = loadedPlugin(bridge);
    for (RemoteCommand command : platform::allRemoteCommands) {
        press(command, 42.5);
    }
    auto event = [](const char* name, JSObject data) {
        data["event"] = name;
        return FakeBridge::Event{"PlaybackStatusPlugin", name, data};
    };
    EXPECT_THAT(
        bridge->events(),
        ElementsAre(event("playMusic", {}), event("pauseMusic", {}),
                    event("changeTrack", {{"dir", 1}}), event("changeTrack", {{"dir", -1}}),
                    event("iosSeek", {{"time", 42.5}}), event("stopMusic", {}),
                    event("seekBy", {{"offset", -5.0}}), event("setShuffle", {{"shuffle", false}}),
                    event("setLoop", {{"loop", "playlist"}}),
                    event("setVolume", {{"volume", 0.5}})));
}

}  // namespace

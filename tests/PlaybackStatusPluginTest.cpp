#include <gtest/gtest.h>

#include "App/Bridge/CAPPluginClass.h"
#include "App/Media/MediaManager.h"
#include "App/Media/PlaybackStatusPlugin.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeServices.h"

using platform::PlaybackState;
using platform::RemoteCommand;

namespace {

// The plugin works on the process's shared media manager, made anew on this test's fakes.
class PlaybackStatusPluginTest : public testing::Test {
protected:
    FakeServices fakes;
    std::shared_ptr<FakeBridge> bridge = std::make_shared<FakeBridge>(fakes.services());
    std::shared_ptr<PlaybackStatusPlugin> plugin = makeLoadedPlugin(bridge);

    static std::shared_ptr<PlaybackStatusPlugin> makeLoadedPlugin(
        const std::shared_ptr<FakeBridge>& owner) {
        auto made =
            std::static_pointer_cast<PlaybackStatusPlugin>(createPlugin<PlaybackStatusPlugin>(
                owner, "PlaybackStatusPlugin", "PlaybackStatusPlugin"));
        made->load();
        return made;
    }

    CAPCallResult update(JSObject options) {
        std::size_t before = bridge->answers().size();
        plugin->updateStatus(CAPPluginCall("1", "updateStatus", std::move(options), bridge));
        auto answers = bridge->answers();
        EXPECT_EQ(answers.size(), before + 1);
        return answers.back().second;
    }

    platform::NowPlayingInfo published() { return fakes.nowPlaying->nowPlayingInfo().value(); }

    PlaybackState publishedState() { return fakes.nowPlaying->playbackState(); }

    void press(RemoteCommand command, std::optional<double> position = {}) {
        fakes.commandCenter->send({command, position});
    }
};

TEST_F(PlaybackStatusPluginTest, NoArgumentsPublishTheDefaultsAndResolveWithoutData) {
    auto result = update(JSObject::object());
    EXPECT_TRUE(result.resolved);
    EXPECT_FALSE(result.data);
    EXPECT_EQ(publishedState(), PlaybackState::unknown);
    auto info = published();
    EXPECT_EQ(info.title, "");
    EXPECT_EQ(info.artist, "");
    EXPECT_EQ(info.albumTitle, "");
    EXPECT_EQ(info.playbackDuration, 0);
    EXPECT_EQ(info.elapsedPlaybackTime, 0);
    EXPECT_EQ(info.playbackRate, 1.0f);
}

TEST_F(PlaybackStatusPluginTest, StatesMapCaseInsensitivelyButExactly) {
    const std::vector<std::pair<JSObject, PlaybackState>> cases = {
        {"playing", PlaybackState::playing},  {"PLAYING", PlaybackState::playing},
        {"Paused", PlaybackState::paused},    {"stopped", PlaybackState::stopped},
        {" playing", PlaybackState::unknown}, {"buffering", PlaybackState::unknown},
        {"", PlaybackState::unknown},         {7, PlaybackState::unknown},
    };
    for (const auto& [state, expected] : cases) {
        update({{"state", state}});
        EXPECT_EQ(publishedState(), expected) << state.dump();
    }
}

TEST_F(PlaybackStatusPluginTest, TimesArriveInMillisecondsAndEveryCallOverwritesEveryField) {
    update({{"state", "paused"},
            {"position", 750},
            {"duration", 200000},
            {"title", "One"},
            {"artist", "A"},
            {"album", "B"}});
    auto info = published();
    EXPECT_EQ(info.elapsedPlaybackTime, 0.75);
    EXPECT_EQ(info.playbackDuration, 200.0);
    EXPECT_EQ(info.playbackRate, 1.0f);  // paused does not imply rate 0
    EXPECT_EQ(info.title, "One");

    // A web player's fractional milliseconds keep their whole part.
    update({{"position", 1234.56}, {"playbackRate", 0.5}});
    info = published();
    EXPECT_EQ(info.elapsedPlaybackTime, 1.234);
    EXPECT_EQ(info.playbackRate, 0.5f);
    EXPECT_EQ(info.title, "");
    EXPECT_EQ(info.artist, "");
    EXPECT_EQ(MediaManager::shared(fakes.services())->status().artworkURL, "");
}

TEST_F(PlaybackStatusPluginTest, MediaControlsBecomeEventsWithExactPayloads) {
    press(RemoteCommand::play);
    press(RemoteCommand::pause);
    press(RemoteCommand::nextTrack);
    press(RemoteCommand::previousTrack);
    press(RemoteCommand::changePlaybackPosition, 42.5);
    auto events = bridge->events();
    ASSERT_EQ(events.size(), 5u);
    const std::vector<std::pair<std::string, JSObject>> expected = {
        {"playMusic", {{"event", "playMusic"}}},
        {"pauseMusic", {{"event", "pauseMusic"}}},
        {"changeTrack", {{"dir", 1}, {"event", "changeTrack"}}},
        {"changeTrack", {{"dir", -1}, {"event", "changeTrack"}}},
        {"iosSeek", {{"time", 42.5}, {"event", "iosSeek"}}},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(events[i].plugin, "PlaybackStatusPlugin");
        EXPECT_EQ(events[i].name, expected[i].first);
        EXPECT_EQ(events[i].data, expected[i].second);
    }
}

TEST_F(PlaybackStatusPluginTest, ASecondInstanceTakesOverAndAGoneOneSendsNothing) {
    auto secondBridge = std::make_shared<FakeBridge>(fakes.services());
    auto second = makeLoadedPlugin(secondBridge);
    press(RemoteCommand::play);
    EXPECT_TRUE(bridge->events().empty());
    EXPECT_EQ(secondBridge->events().size(), 1u);

    second.reset();
    press(RemoteCommand::pause);
    press(RemoteCommand::changePlaybackPosition, 3.0);
    EXPECT_EQ(secondBridge->events().size(), 1u);
    EXPECT_TRUE(bridge->events().empty());
}

}  // namespace

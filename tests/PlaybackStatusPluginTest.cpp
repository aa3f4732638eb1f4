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

// Milliseconds in, seconds out: whole values exactly, fractional ones by their whole part.
TEST_F(PlaybackStatusPluginTest, TimesArriveInMillisecondsAndArePublishedInSeconds) {
    const std::vector<std::pair<JSObject, double>> cases = {
        {1234, 1.234}, {1, 0.001},    {59999, 59.999},  {200000, 200.0},
        {0, 0.0},      {-1500, -1.5}, {1234.56, 1.234}, {"1234", 0.0},
    };
    for (const auto& [milliseconds, seconds] : cases) {
        update({{"position", milliseconds}, {"duration", milliseconds}});
        EXPECT_EQ(published().elapsedPlaybackTime, seconds) << milliseconds;
        EXPECT_EQ(published().playbackDuration, seconds) << milliseconds;
    }
}

// Each call writes every field: what it leaves out goes back to its default.
TEST_F(PlaybackStatusPluginTest, EveryCallOverwritesEveryFieldAndResolvesWithoutData) {
    auto result = update({{"state", "paused"},
                          {"playbackRate", 0.5},
                          {"title", "One"},
                          {"artist", "A"},
                          {"album", "B"},
                          {"thumbnail", "https://art.example/1.png"}});
    EXPECT_TRUE(result.resolved);
    EXPECT_FALSE(result.data);
    auto status = MediaManager::shared(fakes.services())->status();
    EXPECT_EQ(status.playbackState, PlaybackState::paused);
    EXPECT_EQ(status.rate, 0.5f);
    EXPECT_EQ(status.title, "One");
    EXPECT_EQ(status.artist, "A");
    EXPECT_EQ(status.album, "B");
    EXPECT_EQ(status.artworkURL, "https://art.example/1.png");

    update(JSObject::object());
    status = MediaManager::shared(fakes.services())->status();
    EXPECT_EQ(status.playbackState, PlaybackState::unknown);
    EXPECT_EQ(status.rate, 1.0f);  // no rate given: playing speed, whatever the state
    EXPECT_EQ(status.title, "");
    EXPECT_EQ(status.artist, "");
    EXPECT_EQ(status.album, "");
    EXPECT_EQ(status.artworkURL, "");
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

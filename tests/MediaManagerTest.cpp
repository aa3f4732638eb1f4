#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "App/Media/MediaManager.h"
#include "Fakes/FakeServices.h"

using platform::PlaybackState;
using platform::RemoteCommand;
using platform::RemoteCommandHandlerStatus;
using testing::ElementsAre;

namespace {

class MediaManagerTest : public testing::Test {
protected:
    FakeServices fakes;
    std::shared_ptr<MediaManager> manager = MediaManager::create(fakes.services());

    std::optional<RemoteCommandHandlerStatus> send(RemoteCommand command,
                                                   std::optional<double> position = {}) {
        return fakes.commandCenter->send({command, position});
    }

    void publish(std::string artworkURL, std::string title = "Song") {
        auto status = manager->status();
        status.title = std::move(title);
        status.artworkURL = std::move(artworkURL);
        manager->setStatus(status);
        manager->updateNowPlayingInfo();
    }
};

TEST_F(MediaManagerTest, PublishesNothingUntilAskedThenAStoppedEmptyTrack) {
    EXPECT_FALSE(fakes.nowPlaying->nowPlayingInfo());
    manager->updateNowPlayingInfo();
    auto info = fakes.nowPlaying->nowPlayingInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->title, "");
    EXPECT_EQ(info->playbackRate, 0);
    EXPECT_FALSE(info->artwork);
    EXPECT_EQ(fakes.nowPlaying->playbackState(), PlaybackState::stopped);
}

// A failure of either step prints exactly one line and skips what is left; commands are
// registered all the same.
TEST(MediaManagerAudioSession, ConfiguresForPlaybackThenActivatesAndReportsFailuresOnce) {
    struct Case {
        std::optional<platform::Error> category, activation;
        std::vector<std::string> calls, lines;
    };
    const std::vector<Case> cases = {
        {{}, {}, {"setCategory playback default 100", "setActive 1 0"}, {}},
        {platform::Error{"category refused"},
         {},
         {"setCategory playback default 100"},
         {"Audio session error: category refused"}},
        {{},
         platform::Error{"busy"},
         {"setCategory playback default 100", "setActive 1 0"},
         {"Audio session error: busy"}},
    };
    for (const Case& each : cases) {
        FakeServices fakes;
        fakes.audioSession->failCategory = each.category;
        fakes.audioSession->failActivation = each.activation;
        auto manager = MediaManager::create(fakes.services());
        EXPECT_EQ(fakes.audioSession->calls(), each.calls);
        EXPECT_EQ(fakes.console->lines(), each.lines);
        EXPECT_EQ(fakes.commandCenter->commandState(RemoteCommand::play).handlers, 1u);
    }
}

TEST_F(MediaManagerTest, RepeatedRegistrationLeavesOneHandlerPerCommandAndRemovesOthers) {
    fakes.commandCenter->addTarget(RemoteCommand::pause, [](const platform::RemoteCommandEvent&) {
        return RemoteCommandHandlerStatus::noSuchContent;
    });
    fakes.commandCenter->setEnabled(RemoteCommand::play, false);
    manager->registerRemoteCommands();
    for (RemoteCommand command : platform::allRemoteCommands) {
        auto state = fakes.commandCenter->commandState(command);
        EXPECT_TRUE(state.enabled);
        EXPECT_EQ(state.handlers, 1u) << platform::remoteCommandName(command);
    }
    EXPECT_EQ(send(RemoteCommand::pause), RemoteCommandHandlerStatus::success);
}

TEST_F(MediaManagerTest, HandlersRunTheirCallbacksAndReportStatus) {
    // Without callbacks every command but a malformed seek succeeds and does nothing.
    for (RemoteCommand command : {RemoteCommand::play, RemoteCommand::pause,
                                  RemoteCommand::nextTrack, RemoteCommand::previousTrack}) {
        EXPECT_EQ(send(command), RemoteCommandHandlerStatus::success);
    }
    EXPECT_EQ(send(RemoteCommand::changePlaybackPosition, 12.5),
              RemoteCommandHandlerStatus::success);
    EXPECT_EQ(manager->status().position, 12.5);

    std::vector<std::string> heard;
    manager->setCallbacks({[&] { heard.push_back("play"); }, [&] { heard.push_back("pause"); },
                           [&] { heard.push_back("next"); }, [&] { heard.push_back("previous"); },
                           [&](double time) { heard.push_back("seek " + std::to_string(time)); }});
    send(RemoteCommand::play);
    send(RemoteCommand::pause);
    send(RemoteCommand::nextTrack);
    send(RemoteCommand::previousTrack);
    send(RemoteCommand::changePlaybackPosition, 42.5);
    EXPECT_THAT(heard, ElementsAre("play", "pause", "next", "previous", "seek 42.500000"));

    // A position command whose event carries no position is not a position event.
    EXPECT_EQ(send(RemoteCommand::changePlaybackPosition),
              RemoteCommandHandlerStatus::commandFailed);
    EXPECT_EQ(heard.size(), 5u);
}

TEST_F(MediaManagerTest, HandlersOfADestroyedManagerDoNothing) {
    int played = 0;
    manager->setCallbacks({[&] { ++played; }, {}, {}, {}, {}});
    manager.reset();
    EXPECT_EQ(send(RemoteCommand::play), RemoteCommandHandlerStatus::success);
    EXPECT_EQ(send(RemoteCommand::changePlaybackPosition, 3.0),
              RemoteCommandHandlerStatus::commandFailed);
    EXPECT_EQ(played, 0);
}

TEST_F(MediaManagerTest, SeekMovesThePositionWithoutRepublishing) {
    publish("");
    send(RemoteCommand::changePlaybackPosition, 30.0);
    EXPECT_EQ(manager->status().position, 30.0);
    EXPECT_EQ(fakes.nowPlaying->nowPlayingInfo()->elapsedPlaybackTime, 0);
    manager->updateNowPlayingInfo();
    EXPECT_EQ(fakes.nowPlaying->nowPlayingInfo()->elapsedPlaybackTime, 30.0);
}

TEST_F(MediaManagerTest, PublicationReplacesEverythingAndArtworkReturnsWhenLoaded) {
    auto status = manager->status();
    status.playbackState = PlaybackState::playing;
    status.title = "Title";
    status.artist = "Artist";
    status.album = "Album";
    status.duration = 180.5;
    status.position = 0.75;
    status.rate = 1.5f;
    status.artworkURL = "https://art.example/a.png";
    manager->setStatus(status);
    manager->updateNowPlayingInfo();
    fakes.urlSession->completeData(0, {std::string("image 64x32"), 200, std::nullopt});

    auto info = fakes.nowPlaying->nowPlayingInfo();
    EXPECT_EQ(fakes.nowPlaying->playbackState(), PlaybackState::playing);
    EXPECT_EQ(info->title, "Title");
    EXPECT_EQ(info->artist, "Artist");
    EXPECT_EQ(info->albumTitle, "Album");
    EXPECT_EQ(info->playbackDuration, 180.5);
    EXPECT_EQ(info->elapsedPlaybackTime, 0.75);
    EXPECT_EQ(info->playbackRate, 1.5f);
    ASSERT_TRUE(info->artwork);
    EXPECT_EQ(info->artwork->width, 64);
    EXPECT_EQ(info->artwork->height, 32);

    // The same address again: the picture goes until its second download lands.
    manager->updateNowPlayingInfo();
    EXPECT_FALSE(fakes.nowPlaying->nowPlayingInfo()->artwork);
    EXPECT_EQ(fakes.urlSession->requestedURLs().size(), 2u);
    fakes.urlSession->completeData(1, {std::string("image 8x8"), 200, std::nullopt});
    EXPECT_EQ(fakes.nowPlaying->nowPlayingInfo()->artwork->width, 8);
}

TEST_F(MediaManagerTest, ArtworkFailuresAreSilentAndKeepTheRest) {
    publish("");
    publish("not a url");
    publish("https://art.example/missing.png", "Kept");
    fakes.urlSession->completeData(0, {std::nullopt, 0, platform::Error{"offline"}});
    publish("https://art.example/text.png", "Kept");
    fakes.urlSession->completeData(1, {std::string("<html>"), 404, std::nullopt});

    EXPECT_THAT(fakes.urlSession->requestedURLs(),
                ElementsAre("https://art.example/missing.png", "https://art.example/text.png"));
    auto info = fakes.nowPlaying->nowPlayingInfo();
    EXPECT_EQ(info->title, "Kept");
    EXPECT_FALSE(info->artwork);
    EXPECT_TRUE(fakes.console->lines().empty());
}

TEST_F(MediaManagerTest, ArtworkForAnEarlierAddressIsDropped) {
    publish("https://art.example/first.png", "First");
    publish("https://art.example/second.png", "Second");
    fakes.urlSession->completeData(0, {std::string("image 1x1"), 200, std::nullopt});
    EXPECT_FALSE(fakes.nowPlaying->nowPlayingInfo()->artwork);

    publish("", "Third");
    fakes.urlSession->completeData(1, {std::string("image 2x2"), 200, std::nullopt});
    EXPECT_FALSE(fakes.nowPlaying->nowPlayingInfo()->artwork);
}

TEST_F(MediaManagerTest, ArtworkOfTheSameAddressJoinsANewerPublication) {
    publish("https://art.example/a.png", "First");
    publish("https://art.example/a.png", "Second");
    fakes.urlSession->completeData(0, {std::string("image 3x3"), 200, std::nullopt});
    auto info = fakes.nowPlaying->nowPlayingInfo();
    EXPECT_EQ(info->title, "Second");
    EXPECT_EQ(info->artwork->width, 3);
}

// Meaningful under the tsan preset: a seek from the media controls and a status report from the
// web player write the same fields at once, and tsan reports any access outside the lock.
TEST_F(MediaManagerTest, SeeksAndStatusReportsRaceSafely) {
    std::atomic<int> seeks{0};
    manager->setCallbacks({{}, {}, {}, {}, [&](double) { ++seeks; }});
    std::thread controls([&] {
        for (int i = 0; i < 2000; ++i) {
            send(RemoteCommand::changePlaybackPosition, static_cast<double>(i));
        }
    });
    for (int i = 0; i < 2000; ++i) {
        auto status = manager->status();
        status.title = "Track " + std::to_string(i);
        status.position = -1;
        manager->setStatus(status);
        manager->updateNowPlayingInfo();
    }
    controls.join();
    EXPECT_EQ(seeks.load(), 2000);
    auto position = manager->status().position;
    EXPECT_TRUE(position == -1 || (position >= 0 && position < 2000));
    EXPECT_EQ(manager->status().title, "Track 1999");
}

}  // namespace

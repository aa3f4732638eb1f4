#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "App/Media/MediaManager.h"
#include "Fakes/FakeServices.h"

using platform::PlaybackState;
using platform::RemoteCommand;
using platform::RemoteCommandHandlerStatus;

namespace {

class MediaManagerTest : public testing::Test {
protected:
    FakeServices fakes;
    std::shared_ptr<MediaManager> manager = MediaManager::create(fakes.services());

    // With a value, the event carries it as every value a command may take.
    std::optional<RemoteCommandHandlerStatus> send(RemoteCommand command,
                                                   std::optional<double> value = {}) {
        platform::RemoteCommandEvent event(command, value);
        if (value) {
            std::tie(event.offset, event.shuffle, event.loop, event.volume) =
                std::tuple(*value, true, "track", *value);
        }
        return fakes.commandCenter->send(event);
    }

    void publish(std::string artworkURL, std::string title = "Song") {
        auto status = manager->status();
        status.title = std::move(title);
        status.artworkURL = std::move(artworkURL);
        manager->setStatus(status);
        manager->updateNowPlayingInfo();
    }

    void download(std::size_t request, std::optional<std::string> body, int status = 200) {
        fakes.urlSession->completeData(
            request, {std::move(body), status,
                      status ? std::nullopt : std::optional(platform::Error{"offline"})});
    }

    std::optional<platform::Image> artwork() {
        return fakes.nowPlaying->nowPlayingInfo().value().artwork;
    }
};

// Registering leaves each command enabled with only the manager's handler. Every command but a
// seek without a position succeeds; a seek moves the position, which is published with the next
// status only.
TEST_F(MediaManagerTest, HandlersRunTheirCallbacksAndReportStatus) {
    fakes.commandCenter->addTarget(RemoteCommand::pause, [](const platform::RemoteCommandEvent&) {
        return RemoteCommandHandlerStatus::noSuchContent;
    });
    fakes.commandCenter->setEnabled(RemoteCommand::play, false);
    manager->registerRemoteCommands();
    for (RemoteCommand command : platform::allRemoteCommands) {
        EXPECT_EQ(fakes.commandCenter->commandState(command).handlers, 1u);
    }
    publish("");
    for (RemoteCommand command : platform::allRemoteCommands) {
        EXPECT_EQ(send(command, 12.5), RemoteCommandHandlerStatus::success);
    }
    EXPECT_EQ(manager->status().position, 12.5);
    EXPECT_EQ(fakes.nowPlaying->nowPlayingInfo()->elapsedPlaybackTime, 0);
    manager->updateNowPlayingInfo();
    EXPECT_EQ(fakes.nowPlaying->nowPlayingInfo()->elapsedPlaybackTime, 12.5);

    // As a seek without its position, a command without its value.
    for (auto command : {RemoteCommand::changePlaybackPosition, RemoteCommand::changeVolume}) {
        EXPECT_EQ(send(command), RemoteCommandHandlerStatus::commandFailed);
    }

    // Each command reaching its own callback shows in the plugin's events; the handlers outlive
    // the manager and then do nothing.
    int heard = 0;
    manager->setCallbacks({[&] { ++heard; }, {}, {}, {}, [&](double) { ++heard; }});
    manager.reset();
    EXPECT_EQ(send(RemoteCommand::play), RemoteCommandHandlerStatus::success);
    EXPECT_EQ(send(RemoteCommand::changePlaybackPosition, 3.0),
              RemoteCommandHandlerStatus::commandFailed);
    EXPECT_EQ(heard, 0);
}

TEST_F(MediaManagerTest, PublicationReplacesEverythingAndArtworkGoesOnlyWithItsAddress) {
    manager->setStatus({PlaybackState::playing, "Title", "Artist", "Album",
                        "https://art.example/a.png", 180.5, 0.75, 1.5f});
    manager->updateNowPlayingInfo();
    download(0, "image 64x32");
    auto info = fakes.nowPlaying->nowPlayingInfo().value();
    EXPECT_EQ(std::tuple(info.title, info.artist, info.albumTitle, info.playbackDuration,
                         info.elapsedPlaybackTime, info.playbackRate),
              std::tuple("Title", "Artist", "Album", 180.5, 0.75, 1.5f));
    EXPECT_EQ(fakes.nowPlaying->playbackState(), PlaybackState::playing);
    EXPECT_EQ(std::pair(info.artwork.value().width, info.artwork->height), std::pair(64, 32));

    // The same address again: the picture goes until its second download lands.
    manager->updateNowPlayingInfo();
    EXPECT_FALSE(artwork());
    download(1, "image 8x8");
    EXPECT_EQ(artwork()->width, 8);

    // Failures are silent and keep the rest; a picture for an address no longer shown is dropped,
    // while one for the same address joins the newer publication.
    publish("not a url");
    publish("https://art.example/missing.png", "Kept");
    download(2, std::nullopt, 0);
    publish("https://art.example/text.png", "Kept");
    download(3, "<html>", 404);
    EXPECT_FALSE(artwork());
    EXPECT_EQ(fakes.nowPlaying->nowPlayingInfo()->title, "Kept");
    EXPECT_TRUE(fakes.console->lines().empty());
    publish("https://art.example/first.png");
    publish("https://art.example/second.png");
    download(4, "image 1x1");
    EXPECT_FALSE(artwork());
    publish("");
    download(5, "image 2x2");
    EXPECT_FALSE(artwork());
    publish("https://art.example/a.png", "First");
    publish("https://art.example/a.png", "Second");
    download(6, "image 3x3");
    EXPECT_EQ(fakes.nowPlaying->nowPlayingInfo()->title, "Second");
    EXPECT_EQ(artwork()->width, 3);
    EXPECT_EQ(fakes.urlSession->started(), 8u);
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
        publish("", "Track " + std::to_string(i));
    }
    controls.join();
    EXPECT_EQ(seeks.load(), 2000);
    EXPECT_EQ(manager->status().title, "Track 1999");
}

}  // namespace

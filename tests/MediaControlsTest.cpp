#include <gtest/gtest.h>

#include <filesystem>

#include "Eventually.h"
#include "Images.h"
#include "LoopbackServer.h"
#include "PrivateSessionBus.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

using Json = nlohmann::json;

namespace {

class MediaControlsTest : public testing::Test {
protected:
    PrivateSessionBus bus;
    TemporaryDirectory directory;
    ShellProcess shell{{"stdio", "--container", (directory / "c").string()}, bus.address()};

    void SetUp() override {
        // The name is taken before the first request is read.
        shell.call({{"id", "ready"}, {"host", "audioSession"}});
    }

    void report(Json status) {
        shell.call({{"id", "status"},
                    {"plugin", "PlaybackStatusPlugin"},
                    {"method", "updateStatus"},
                    {"options", std::move(status)}});
    }

    Json nextEvent() {
        auto message = shell.next();
        EXPECT_TRUE(message) << shell.standardError();
        return message.value_or(Json());
    }
};

TEST_F(MediaControlsTest, TheWidgetsButtonsReachTheWebApplication) {
    const std::vector<std::pair<std::string, Json>> presses = {
        {"pause", {{"event", "pauseMusic"}}},
        {"play", {{"event", "playMusic"}}},
        {"next", {{"dir", 1}, {"event", "changeTrack"}}},
        {"previous", {{"dir", -1}, {"event", "changeTrack"}}},
        {"stop", {{"event", "pauseMusic"}}},
    };
    for (const auto& [command, data] : presses) {
        bus.playerctl(command);
        EXPECT_EQ(nextEvent()["data"], data) << command;
    }
    // Play-pause asks for the opposite of what the widget shows, from every state.
    const std::vector<std::pair<std::string, std::string>> toggles = {{"stopped", "playMusic"},
                                                                      {"paused", "playMusic"},
                                                                      {"buffering", "playMusic"},
                                                                      {"playing", "pauseMusic"}};
    for (const auto& [state, event] : toggles) {
        report({{"state", state}, {"title", "Song"}});
        bus.playerctl("play-pause");
        EXPECT_EQ(nextEvent()["data"]["event"], event) << state;
    }
}

// Positions on the bus are microseconds; the page hears seconds. A relative seek starts from
// the position last reported (paused, so it does not move) and stops at the start. A position
// set for another track than the one shown is no seek at all.
TEST_F(MediaControlsTest, SeeksReachThePageInSeconds) {
    report({{"state", "paused"}, {"title", "Song"}, {"position", 10000}, {"duration", 60000}});
    std::string stale = bus.mpris(
        "org.mpris.MediaPlayer2.Player.SetPosition objpath:/org/musicshell/track/999 "
        "int64:5000000");
    EXPECT_EQ(stale.find("Error"), std::string::npos) << stale;
    const std::vector<std::pair<std::string, double>> seeks = {{"position 30", 30.0},
                                                               {"position 2.5+", 12.5},
                                                               {"position 0.25-", 9.75},
                                                               {"position 20-", 0.0}};
    for (const auto& [command, time] : seeks) {
        bus.playerctl(command);
        EXPECT_EQ(nextEvent()["data"], Json({{"time", time}, {"event", "iosSeek"}})) << command;
    }
}

TEST_F(MediaControlsTest, WhatThePageReportsIsWhatTheWidgetShows) {
    EXPECT_EQ(bus.playerctl("status"), "Stopped");
    const std::vector<std::pair<Json, std::vector<std::pair<std::string, std::string>>>> shown = {
        {{{"state", "playing"},
          {"title", "Song"},
          {"artist", "Artist"},
          {"album", "Album"},
          {"duration", 245000}},
         {{"status", "Playing"},
          {"metadata title", "Song"},
          {"metadata artist", "Artist"},
          {"metadata album", "Album"},
          {"metadata mpris:length", "245000000"}}},
        {{{"state", "paused"}, {"title", "Song"}, {"position", 12000}},
         {{"status", "Paused"}, {"position", "12.000000"}}},
        {{{"state", "buffering"}}, {{"status", "Stopped"}}},
    };
    for (const auto& [status, expected] : shown) {
        report(status);
        for (const auto& [query, value] : expected) {
            EXPECT_EQ(bus.playerctl(query), value) << status << " " << query;
        }
    }
}

TEST_F(MediaControlsTest, ArtworkIsShownAsALocalFile) {
    LoopbackServer server;
    server.routes().Get(R"(/(\d+)\.png)",
                        [](const httplib::Request& request, httplib::Response& r) {
                            r.set_content(pngOf(std::stoi(request.matches[1]), 8), "image/png");
                        });
    server.start();
    report({{"state", "playing"}, {"title", "Song"}, {"thumbnail", server.url("/16.png")}});
    std::string url;
    ASSERT_TRUE(eventually([&] {
        url = bus.playerctl("metadata mpris:artUrl");
        return url.starts_with("file://");
    })) << url;
    std::filesystem::path file = url.substr(7);
    EXPECT_EQ(file.parent_path(), directory / "c/Library/Caches/artwork");
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    EXPECT_EQ(shell.call({{"id", "now"}, {"host", "nowPlaying"}})["data"]["info"]["artwork"],
              Json({{"width", 16}, {"height", 8}}));

    // The next track's picture takes the place of the last one: pictures never pile up.
    report({{"state", "playing"}, {"title", "Next"}, {"thumbnail", server.url("/8.png")}});
    ASSERT_TRUE(eventually([&] {
        std::string next = bus.playerctl("metadata mpris:artUrl");
        return next.starts_with("file://") && next != url;
    }));
    std::vector<std::filesystem::path> kept;
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
        kept.push_back(entry.path());
    }
    EXPECT_EQ(kept,
              std::vector<std::filesystem::path>{bus.playerctl("metadata mpris:artUrl").substr(7)});
}

TEST(MediaControlsWithoutBus, TheShellStartsAndAnswersAllTheSame) {
    TemporaryDirectory directory;
    ShellProcess shell{{"stdio", "--container", (directory / "c").string()}};
    EXPECT_EQ(
        shell.call({{"id", 1}, {"host", "remoteCommand"}, {"command", "play"}})["data"]["status"],
        0);
    EXPECT_NE(shell.standardError().find("no media controls"), std::string::npos);
}

}  // namespace

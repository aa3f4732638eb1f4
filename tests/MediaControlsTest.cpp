#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "Eventually.h"
#include "Host/Web/WebAccess.h"
#include "Images.h"
#include "LoopbackServer.h"
#include "PrivateSessionBus.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace {

class MediaControlsTest : public testing::Test {
protected:
    PrivateSessionBus bus;
    TemporaryDirectory directory;
    // A name a file URL must escape.
    ShellProcess shell{{"stdio", "--container", (directory / "c #%41").string()}, bus.address()};

    void SetUp() override {
        // The name is taken before the first request is read.
        shell.call({{"id", "ready"}, {"host", "audioSession"}});
    }

    void report(Json status) { shell.plugin("PlaybackStatusPlugin", "updateStatus", status); }
    Json nowPlaying() { return shell.call({{"id", 0}, {"host", "nowPlaying"}})["data"]["info"]; }

    Json nextEvent() {
        auto message = shell.next();
        EXPECT_TRUE(message) << shell.standardError();
        return message.value_or(Json());
    }
};

// Each row: a page reporting a paused track 10 s into `duration` (0 when unknown), as `page`
// changes it (what it shows and says it handles), then a command from the widget; the page hears
// `heard` (a time, another event, or nothing) before the play that ends the row. Play-pause asks
// for the opposite of what the widget shows; stop, shuffle, loop and volume reach a page that said
// it has them. Positions on the bus are microseconds, the page hears seconds. Past the end a seek
// goes to the next track and a set position is ignored, as is one for another track; before the
// start is 0; offsets saturate.
TEST_F(MediaControlsTest, TheWidgetsButtonsAndSeeksReachTheWebApplication) {
    const std::string seek = "org.mpris.MediaPlayer2.Player.Seek int64:";
    const std::string setPosition =
        "org.mpris.MediaPlayer2.Player.SetPosition objpath:/org/musicshell/track/";
    auto event = [](const char* name, Json data = Json::object()) {
        data["event"] = name;
        return data;
    };
    const Json next = event("changeTrack", {{"dir", 1}}), stopped = {{"state", "stopped"}};
    struct Case {
        int duration;
        std::string call;
        Json heard;
        Json page = Json::object();
    };
    const std::vector<Case> cases = {
        {60000, "pause", event("pauseMusic"), stopped},
        {60000, "play", event("playMusic"), stopped},
        {60000, "next", next, stopped},
        {60000, "previous", event("changeTrack", {{"dir", -1}}), stopped},
        {60000, "stop", event("pauseMusic"), stopped},
        {60000, "play-pause", event("playMusic"), stopped},
        {60000, "play-pause", event("playMusic")},
        {60000, "play-pause", event("playMusic"), {{"state", "buffering"}}},
        {60000, "play-pause", event("pauseMusic"), {{"state", "playing"}}},
        {60000, "stop", event("stopMusic"), {{"canStop", true}}},
        {60000, "shuffle off", event("setShuffle", {{"shuffle", false}}), {{"shuffle", true}}},
        {60000, "loop Track", event("setLoop", {{"loop", "track"}}), {{"loop", "none"}}},
        {60000, "volume 0.3", event("setVolume", {{"volume", 0.3}}), {{"volume", 1}}},
        {60000, "position 30", 30.0},
        {60000, "position 2.5+", 12.5},
        {60000, "position 0.25-", 9.75},
        {60000, "position 20-", 0.0},
        {60000, "position 60", 60.0},
        {60000, "position 300", nullptr},
        {60000, "position 1000+", next},
        {60000, seek + "9223372036854775807", next},
        {60000, setPosition + "1 int64:-1", nullptr},
        {60000, setPosition + "999 int64:5000000", nullptr},
        {0, "position 300", 300.0},
        {0, seek + "9223372036854775807", static_cast<double>(INT64_MAX) / 1e6},
        {60000, "position 5+", event("seekBy", {{"offset", 5.0}}), {{"canSeekBy", true}}},
        {60000, "position 0.5-", event("seekBy", {{"offset", -0.5}}), {{"canSeekBy", true}}},
        {60000, "position 30", nullptr, {{"canSeek", false}}},
        {60000, "position 1000+", nullptr, {{"canNext", false}}},
        {60000, "next", nullptr, {{"canNext", false}}},
        {60000, "previous", nullptr, {{"canPrevious", false}}},
    };
    for (const auto& [duration, call, heard, page] : cases) {
        Json status = {{"state", "paused"}, {"title", "Song"}, {"position", 10000}};
        status["duration"] = duration;
        status.update(page);
        report(status);
        auto output = call.starts_with("org.") ? bus.mpris(call) : bus.playerctl(call);
        EXPECT_EQ(output.find("Error"), std::string::npos) << output;
        bus.playerctl("play");  // ends what the call raised
        if (!heard.is_null()) {
            EXPECT_EQ(nextEvent()["data"],
                      heard.is_number() ? event("iosSeek", {{"time", heard}}) : heard)
                << duration << " " << call << " " << page;
        }
        EXPECT_EQ(nextEvent()["data"], event("playMusic")) << duration << " " << call;
    }
}

TEST_F(MediaControlsTest, WhatThePageReportsAndHandlesIsWhatTheWidgetShowsAndOffers) {
    const std::string shown =
        "metadata --format '{{status}}|{{title}}|{{artist}}|{{album}}|{{mpris:length}}'";
    EXPECT_EQ(bus.playerctl("status"), "Stopped");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"state":"playing","title":"Song","artist":"Artist","album":"Album","duration":245000})",
         "Playing|Song|Artist|Album|245000000"},
        {R"({"state":"buffering"})", "Stopped||||0"},
        {R"({"state":"paused","title":"Song","position":12000})", "Paused|Song|||0"},
        {R"({"state":"paused","title":"Long","duration":9223372036854775807})",
         "Paused|Long|||9200000000000000000"},
        // Text the bus refuses (noncharacters, NUL) is shown replaced, and kept as it came.
        {R"({"state":"paused","title":"A\uffffB\ufdd0","artist":"\ud83f\udffe","album":"x\u0000y",
             "position":12000})",
         "Paused|A\uFFFDB\uFFFD|\uFFFD|x\uFFFDy|0"},
    };
    for (const auto& [status, widget] : cases) {
        report(Json::parse(status));
        EXPECT_EQ(bus.playerctl(shown), widget) << status;
    }
    EXPECT_EQ(bus.playerctl("position"), "12.000000");
    auto kept = nowPlaying();
    EXPECT_EQ(kept["title"], "A\uFFFFB\uFDD0");
    EXPECT_EQ(kept["albumTitle"], std::string("x\0y", 3));

    // The widget offers what the page says it handles, and shuffle, loop and a settable volume
    // only once the page has reported them; a page that says nothing is shown as it always was.
    auto offered = [&] {
        std::string all = bus.mpris(
            "org.freedesktop.DBus.Properties.GetAll string:org.mpris.MediaPlayer2.Player");
        std::string can;
        for (const char* name : {"CanGoNext", "CanGoPrevious", "CanSeek", "CanPlay", "CanPause"}) {
            std::smatch value;
            std::regex_search(all, value,
                              std::regex(std::string(name) + R"("\s+variant\s+boolean (\w))"));
            can += value[1].str();
        }
        return can + "|" + bus.playerctl("shuffle") + "|" + bus.playerctl("loop") + "|" +
               bus.playerctl("volume") + "|" + bus.playerctl("volume 0.5");
    };
    const std::string none = "No player could handle this command";
    const std::string readOnly =
        "Could not execute command: GDBus.Error:org.freedesktop.DBus.Error.PropertyReadOnly: "
        "Property 'Volume' is not writable.";
    const std::vector<std::pair<Json, std::string>> offers = {
        {Json::object(), "ttttt|" + none + "|" + none + "|1.000000|" + readOnly},
        {{{"canNext", false}, {"canSeek", false}, {"canPause", false}},
         "ftftf|" + none + "|" + none + "|1.000000|" + readOnly},
        {{{"shuffle", true}, {"loop", "playlist"}, {"volume", 0.25}},
         "ttttt|On|Playlist|0.250000|"},
        {Json::object(), "ttttt|" + none + "|" + none + "|1.000000|" + readOnly},
    };
    for (auto [page, widget] : offers) {
        page.update({{"state", "paused"}, {"title", "Song"}});
        report(page);
        EXPECT_EQ(offered(), widget) << page;
    }
}

TEST_F(MediaControlsTest, ArtworkIsShownAsALocalFileAndTheShellOutlivesTheBus) {
    LoopbackServer server;
    server.routes().Get(R"(/(\d+)\.png)",
                        [](const httplib::Request& request, httplib::Response& r) {
                            r.set_content(pngOf(std::stoi(request.matches[1]), 8), "image/png");
                        });
    server.start();
    // The file the widget shows, once it is another than `previous`; its URL is percent-decoded.
    auto pictureAfter = [&](const std::filesystem::path& previous) {
        std::string url, file;
        EXPECT_TRUE(eventually([&] {
            url = bus.playerctl("metadata mpris:artUrl");
            file =
                host::web_access::percentDecoded(url.substr(std::min<std::size_t>(url.size(), 7)))
                    .value_or("");
            return url.starts_with("file://") && file != previous;
        })) << url;
        return std::filesystem::path(file);
    };
    report({{"state", "playing"}, {"title", "Song"}, {"thumbnail", server.url("/16.png")}});
    auto first = pictureAfter("");
    EXPECT_EQ(first.parent_path(), directory / "c #%41/Library/Caches/artwork");
    EXPECT_TRUE(std::filesystem::is_regular_file(first));
    EXPECT_EQ(nowPlaying()["artwork"], Json({{"width", 16}, {"height", 8}}));
    // Pictures never pile up.
    report({{"state", "playing"}, {"title", "Next"}, {"thumbnail", server.url("/8.png")}});
    auto next = pictureAfter(first);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(first.parent_path()), {}), 1);
    EXPECT_TRUE(std::filesystem::is_regular_file(next));

    // Losing the bus ends the media controls, said once, and not the shell.
    bus.stop();
    for (const char* title : {"One", "Two", "Three"}) {
        report({{"state", "playing"}, {"title", title}});
        EXPECT_EQ(nowPlaying()["title"], title);
    }
    const std::string said = "no media controls any more: the session bus went away";
    EXPECT_TRUE(eventually([&] { return shell.standardError().find(said) != std::string::npos; }));
    shell.send(R"({"host":"quit"})");
    EXPECT_EQ(shell.wait(), 0);
    auto log = shell.standardError();
    EXPECT_EQ(log.find(said), log.rfind(said)) << log;
}

}  // namespace

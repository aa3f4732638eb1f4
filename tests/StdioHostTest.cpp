#include <gtest/gtest.h>

#include <csignal>

#include "ShellProcess.h"
#include "TemporaryDirectory.h"

using Json = nlohmann::json;

namespace {

class StdioHostTest : public testing::Test {
protected:
    TemporaryDirectory directory;
    ShellProcess shell{{"stdio", "--container", (directory / "container").string()}};
};

TEST_F(StdioHostTest, StartsLikeAnApplicationOnADevice) {
    EXPECT_EQ(shell.call({{"id", 1}, {"host", "audioSession"}}),
              Json::parse(R"({"id":1,"ok":true,"data":{"category":"playback","mode":"default",
                              "options":100,"active":true}})"));
    EXPECT_EQ(shell.call({{"id", 2}, {"host", "nowPlaying"}})["data"],
              Json::parse(R"({"playbackState":0,"info":null})"));

    // Every view load registers the commands again; each keeps exactly one handler.
    shell.call({{"id", 3}, {"host", "reloadView"}});
    EXPECT_EQ(shell.call({{"id", 4}, {"host", "reloadView"}}),
              Json::parse(R"({"id":4,"ok":true})"));
    auto commands = shell.call({{"id", 5}, {"host", "commandCenter"}})["data"];
    for (const char* name :
         {"play", "pause", "nextTrack", "previousTrack", "changePlaybackPosition"}) {
        EXPECT_EQ(commands[name], Json::parse(R"({"enabled":true,"handlers":1})")) << name;
    }
    for (const char* folder : {"Documents", "Library/Caches", "tmp"}) {
        EXPECT_TRUE(std::filesystem::is_directory(directory / "container" / folder)) << folder;
    }
    EXPECT_TRUE(shell.otherLines.empty());
}

TEST_F(StdioHostTest, RemoteCommandsAnswerWithTheHandlersStatus) {
    auto status = [&](Json request) {
        request["id"] = "r";
        request["host"] = "remoteCommand";
        return shell.call(request)["data"]["status"];
    };
    EXPECT_EQ(status({{"command", "nextTrack"}}), 0);
    EXPECT_EQ(status({{"command", "changePlaybackPosition"}, {"positionTime", 12.5}}), 0);
    // Without a position the event is not a position event.
    EXPECT_EQ(status({{"command", "changePlaybackPosition"}}), 200);
    EXPECT_EQ(shell.call({{"id", 9}, {"host", "remoteCommand"}, {"command", "stop"}}),
              Json::parse(R"({"id":9,"ok":false,"message":"Unknown remote command: stop"})"));
}

TEST_F(StdioHostTest, OpenedURLsReachTheWebApplicationThroughTheProxy) {
    // Any absolute URL with a scheme parses, with or without an authority part.
    const std::vector<std::pair<std::string, bool>> cases = {
        {"musicshell://album/7", true},
        {"musicshell:track/7", true},
        {"mailto:someone@example.com", true},
        {"https://example.com/a%20b?q=1#top", true},
        {"file:///home/me/song.mp3", true},
        {"urn:isbn:0451450523", true},
        {"tel:+1-201-555-0123", true},
        {"no scheme", false},
        {"/relative/path", false},
        {"//example.com/no-scheme", false},
        {"1http://digit-first.example", false},
        {"musicshell:track 7", false},
        {"mailto:a%zz@example.com", false},
        {"http://", false},
        {"", false},
    };
    int id = 0;
    for (const auto& [url, parses] : cases) {
        shell.messages.clear();
        auto answer = shell.call({{"id", ++id}, {"host", "openURL"}, {"url", url}});
        EXPECT_EQ(answer["data"], Json({{"handled", parses}})) << url;
        // The answer comes after the event it caused.
        auto heard = Json::array();
        if (parses) {
            heard.push_back({{"event", "appUrlOpen"}, {"plugin", "App"}, {"data", {{"url", url}}}});
        }
        EXPECT_EQ(Json(shell.messages), heard) << url;
    }
}

// Hostile and broken requests: each gets one clear answer and the host goes on.
TEST_F(StdioHostTest, BadRequestsAreAnsweredAndSurvived) {
    struct Case {
        std::string line;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {"not json", R"({"id":null,"ok":false,"message":"Malformed request: not JSON"})"},
        {"", R"({"id":null,"ok":false,"message":"Malformed request: not JSON"})"},
        {"[1,2]", R"({"id":null,"ok":false,"message":"Malformed request: not an object"})"},
        {R"({"id":1})", R"({"id":1,"ok":false,"message":"Malformed request: no plugin or host"})"},
        {R"({"id":2,"plugin":"X","host":"quit"})",
         R"({"id":2,"ok":false,"message":"Malformed request: both plugin and host"})"},
        {R"({"id":3,"plugin":7})",
         R"({"id":3,"ok":false,"message":"Malformed request: plugin must be a string"})"},
        {R"({"id":4,"plugin":"OfflineStoragePlugin"})",
         R"({"id":4,"ok":false,"message":"Malformed request: no method"})"},
        {R"({"id":4,"plugin":"OfflineStoragePlugin","method":"listFiles","options":[1]})",
         R"({"id":4,"ok":false,"message":"Malformed request: options must be an object"})"},
        {R"({"id":5,"plugin":"Nope","method":"x"})",
         R"({"id":5,"ok":false,"message":"Unknown plugin: Nope"})"},
        {R"({"id":6,"host":"reboot"})",
         R"({"id":6,"ok":false,"message":"Unknown host request: reboot"})"},
        {R"({"id":[1],"host":"nowPlaying"})",
         R"({"id":null,"ok":false,"message":"Malformed request: id must be a string or a number"})"},
        // Truncated, trailing garbage, invalid UTF-8, and nesting deep enough to exhaust a
        // recursive parser's stack.
        {R"({"id":7,"host":)", R"({"id":null,"ok":false,"message":"Malformed request: not JSON"})"},
        {R"({"id":8,"host":"nowPlaying"} x)",
         R"({"id":null,"ok":false,"message":"Malformed request: not JSON"})"},
        {"{\"id\":9,\"host\":\"\xff\xfe\"}",
         R"({"id":null,"ok":false,"message":"Malformed request: not JSON"})"},
        {R"({"id":10,"host":"openURL","x":)" + std::string(100000, '[') + "}",
         R"({"id":10,"ok":false,"message":"Malformed request: nested too deeply"})"},
    };
    for (const Case& each : cases) {
        shell.send(each.line);
        auto answer = shell.next();
        ASSERT_TRUE(answer) << each.line.substr(0, 80) << "\n" << shell.standardError();
        EXPECT_EQ(*answer, Json::parse(each.answer)) << each.line.substr(0, 80);
    }
    EXPECT_EQ(shell.call({{"id", "after"}, {"host", "audioSession"}})["ok"], true);
}

TEST_F(StdioHostTest, IdsAreEchoedExactlyAsSent) {
    shell.send(R"({"id":1.50,"host":"reloadView"})");
    shell.send(R"({"id":"a\"b","host":"reloadView"})");
    shell.send(R"({"id":18446744073709551615,"host":"reloadView"})");
    shell.send(R"({"id":"\u00e9","host":"reloadView"})");
    shell.send(R"({"id":-0,"host":"reloadView"})");
    shell.closeInput();
    EXPECT_EQ(shell.wait(), 0);
    std::string out;
    while (auto line = shell.nextLine()) {
        out += *line + "\n";
    }
    EXPECT_EQ(out,
              "{\"id\":1.50,\"ok\":true}\n{\"id\":\"a\\\"b\",\"ok\":true}\n"
              "{\"id\":18446744073709551615,\"ok\":true}\n{\"id\":\"\\u00e9\",\"ok\":true}\n"
              "{\"id\":-0,\"ok\":true}\n");
}

// A repeated key once made the host write into freed memory when the earlier value was a long
// string: the last value counts, and the host goes on.
TEST_F(StdioHostTest, RepeatedKeysKeepTheLastValue) {
    std::string longData(8192, 'A');
    shell.send(R"({"id":1,"plugin":"OfflineStoragePlugin","method":"writeFile","options":)"
               R"({"filename":"a","data":")" +
               longData + R"(","data":"aGk="}})");
    EXPECT_EQ(shell.answerTo(1)["ok"], true);
    EXPECT_EQ(shell.call({{"id", 2},
                          {"plugin", "OfflineStoragePlugin"},
                          {"method", "readFile"},
                          {"options", {{"filename", "a"}}}})["data"],
              Json::parse(R"({"data":"aGk="})"));
    std::string longId(5000, 'i');
    shell.send(R"({"id":")" + longId + R"(","host":")" + longData + R"(","host":"reloadView"})");
    EXPECT_EQ(shell.answerTo(longId), Json({{"id", longId}, {"ok", true}}));
}

TEST(StdioHostLimits, ALineOverTheLimitIsRefusedAndTheNextOneAnswered) {
    TemporaryDirectory directory;
    ShellProcess shell{
        {"stdio", "--container", (directory / "c").string(), "--max-request-bytes", "1000"}};
    // Lines of exactly the limit, and of one byte more, without their line ends.
    auto line = [](std::size_t size) {
        std::string start = R"({"id":1,"host":"nowPlaying","pad":")";
        return start + std::string(size - start.size() - 2, 'x') + "\"}";
    };
    shell.send(line(1000));
    EXPECT_EQ((*shell.next())["ok"], true);
    shell.send(line(1001));
    EXPECT_EQ(*shell.next(),
              Json::parse(R"({"id":null,"ok":false,"message":"Request too large"})"));
    EXPECT_EQ(shell.call({{"id", 2}, {"host", "audioSession"}})["ok"], true);
}

TEST(StdioHostExit, EndOfInputQuitAndSignalsAllExitZero) {
    TemporaryDirectory directory;
    auto container = (directory / "c").string();
    {
        ShellProcess shell{{"stdio", "--container", container}};
        shell.closeInput();
        EXPECT_EQ(shell.wait(), 0);
    }
    {
        ShellProcess shell{{"stdio", "--container", container}};
        shell.send(R"({"host":"quit"})");
        EXPECT_EQ(shell.wait(), 0);
        EXPECT_FALSE(shell.next());
    }
    for (int signal : {SIGINT, SIGTERM}) {
        ShellProcess shell{{"stdio", "--container", container}};
        shell.call({{"id", 1}, {"host", "audioSession"}});
        shell.signal(signal);
        EXPECT_EQ(shell.wait(), 0) << signal;
    }
}

}  // namespace

namespace {

TEST_F(StdioHostTest, APausePressRaisesPauseMusicBeforeItsAnswer) {
    shell.sendJson({{"id", 1}, {"host", "remoteCommand"}, {"command", "pause"}});
    EXPECT_EQ(*shell.next(), Json::parse(R"({"event":"pauseMusic","plugin":"PlaybackStatusPlugin",
                                             "data":{"event":"pauseMusic"}})"));
    EXPECT_EQ(*shell.next(), Json::parse(R"({"id":1,"ok":true,"data":{"status":0}})"));

    shell.sendJson({{"id", 2},
                    {"host", "remoteCommand"},
                    {"command", "changePlaybackPosition"},
                    {"positionTime", 42.5}});
    EXPECT_EQ((*shell.next())["data"], Json::parse(R"({"time":42.5,"event":"iosSeek"})"));
    EXPECT_EQ((*shell.next())["data"]["status"], 0);
}

TEST_F(StdioHostTest, ReportedStatusIsWhatNowPlayingShows) {
    auto answer = shell.call({{"id", 1},
                              {"plugin", "PlaybackStatusPlugin"},
                              {"method", "updateStatus"},
                              {"options",
                               {{"state", "Playing"},
                                {"position", 1500},
                                {"duration", 240000},
                                {"playbackRate", 0.1},
                                {"title", "Song"},
                                {"artist", "Artist"},
                                {"album", "Album"}}}});
    EXPECT_EQ(answer, Json::parse(R"({"id":1,"ok":true})"));
    EXPECT_EQ(shell.call({{"id", 2}, {"host", "nowPlaying"}})["data"],
              Json::parse(R"({"playbackState":1,"info":{"title":"Song","artist":"Artist",
                  "albumTitle":"Album","playbackDuration":240.0,"elapsedPlaybackTime":1.5,
                  "playbackRate":0.1}})"));
    EXPECT_EQ(shell.call({{"id", 3}, {"plugin", "PlaybackStatusPlugin"}, {"method", "nope"}}),
              Json::parse(
                  R"({"id":3,"ok":false,"message":"Unknown method: PlaybackStatusPlugin.nope"})"));
}

}  // namespace

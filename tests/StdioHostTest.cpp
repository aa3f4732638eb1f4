#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "App/Bridge/Base64.h"
#include "FileContents.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace {

class StdioHostTest : public testing::Test {
protected:
    TemporaryDirectory directory;
    ShellProcess shell{{"stdio", "--container", (directory / "container").string(),
                        "--max-request-bytes", "200000"}};
};

TEST_F(StdioHostTest, StartsLikeAnApplicationOnADevice) {
    auto host = [&](const char* name) { return shell.call({{"id", 1}, {"host", name}})["data"]; };
    EXPECT_EQ(host("audioSession"), Json::parse(R"({"category":"playback","mode":"default",
                                        "options":100,"active":true})"));
    EXPECT_EQ(host("nowPlaying"), Json::parse(R"({"playbackState":0,"info":null})"));
    // Registered at each view load, a command keeps one handler (MediaManagerTest has all).
    EXPECT_EQ(host("commandCenter")["play"], Json::parse(R"({"enabled":true,"handlers":1})"));
    for (const char* folder : {"Documents", "Library/Caches", "tmp"}) {
        EXPECT_TRUE(fs::is_directory(directory / "container" / folder)) << folder;
    }
    EXPECT_TRUE(shell.otherLines.empty());
    // This host sees no session bus, and goes on without the desktop's media controls.
    EXPECT_NE(shell.standardError().find("no media controls"), std::string::npos);
    shell.plugin("PlaybackStatusPlugin", "updateStatus",
                 Json::parse(R"({"state":"Playing","position":1500,"duration":240000,
                     "playbackRate":0.1,"title":"Song","artist":"Artist","album":"Album"})"));
    EXPECT_EQ(host("nowPlaying"),
              Json::parse(R"({"playbackState":1,"info":{"title":"Song","artist":"Artist",
                  "albumTitle":"Album","playbackDuration":240.0,"elapsedPlaybackTime":1.5,
                  "playbackRate":0.1}})"));
}

TEST_F(StdioHostTest, RemoteCommandsAndOpenedURLsReachThePageBeforeTheirAnswer) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {R"({"id":2,"host":"remoteCommand","command":"changePlaybackPosition","positionTime":42.5})",
         {R"({"event":"iosSeek","plugin":"PlaybackStatusPlugin","data":{"time":42.5,"event":"iosSeek"}})",
          R"({"id":2,"ok":true,"data":{"status":0}})"}},
        {R"({"id":3,"host":"remoteCommand","command":"changePlaybackPosition"})",
         {R"({"id":3,"ok":true,"data":{"status":200}})"}},
        {R"({"id":4,"host":"remoteCommand","command":"stop"})",
         {R"({"event":"stopMusic","plugin":"PlaybackStatusPlugin","data":{"event":"stopMusic"}})",
          R"({"id":4,"ok":true,"data":{"status":0}})"}},
        {R"({"id":5,"host":"remoteCommand","command":"eject"})",
         {R"({"id":5,"ok":false,"message":"Unknown remote command: eject"})"}},
    };
    for (const auto& [request, answers] : cases) {
        shell.send(request);
        for (const auto& answer : answers) {
            EXPECT_EQ(shell.next(), Json::parse(answer)) << request;
        }
    }

    // Any absolute URL with a scheme parses, with or without an authority.
    const std::vector<std::string> lists[] = {
        {"musicshell://album/7", "musicshell:track/7", "mailto:someone@example.com",
         "https://example.com/a%20b?q=1#top", "urn:isbn:0451450523"},
        {"no scheme", "//example.com/no-scheme", "1http://digit-first.example",
         "musicshell:track 7", "mailto:a%zz@example.com", "http://", ""}};
    for (bool parses : {true, false}) {
        for (const auto& url : lists[parses ? 0 : 1]) {
            shell.messages.clear();
            EXPECT_EQ(shell.call({{"id", url}, {"host", "openURL"}, {"url", url}})["data"],
                      Json({{"handled", parses}}))
                << url;
            Json event = {{"event", "appUrlOpen"}, {"plugin", "App"}, {"data", {{"url", url}}}};
            EXPECT_EQ(Json(shell.messages), parses ? Json::array({event}) : Json::array()) << url;
        }
    }
}

// Hostile and broken requests: each gets one clear answer and the host goes on.
TEST_F(StdioHostTest, BadRequestsAreAnsweredAndSurvivedAndIdsEchoedExactly) {
    auto padded = [](std::size_t size) {
        std::string start = R"({"id":1,"host":"nowPlaying","pad":")";
        return start + std::string(size - start.size() - 2, 'x') + "\"}";
    };
    std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"[1,2]", "null", "Malformed request: not an object"},
        {R"({"id":1})", "1", "Malformed request: no plugin or host"},
        {R"({"id":2,"plugin":"X","host":"quit"})", "2", "Malformed request: both plugin and host"},
        {R"({"id":3,"plugin":7})", "3", "Malformed request: plugin must be a string"},
        {R"({"id":4,"plugin":"OfflineStoragePlugin"})", "4", "Malformed request: no method"},
        {R"({"id":4,"plugin":"OfflineStoragePlugin","method":"listFiles","options":[1]})", "4",
         "Malformed request: options must be an object"},
        {R"({"id":6,"host":"reboot"})", "6", "Unknown host request: reboot"},
        {R"({"id":[1],"host":"nowPlaying"})", "null",
         "Malformed request: id must be a string or a number"},
        // Deep enough to exhaust a recursive parser's stack.
        {R"({"id":10,"host":"openURL","x":)" + std::string(100000, '[') + "}", "10",
         "Malformed request: nested too deeply"},
        {padded(200001), "null", "Request too large"},  // one byte over, without the line end
    };
    for (std::string line :
         {"not json", "", R"({"id":7,"host":)", R"({"id":8,"host":"nowPlaying"} x)",
          "{\"id\":9,\"host\":\"\xff\xfe\"}"}) {
        cases.emplace_back(line, "null", "Malformed request: not JSON");
    }
    for (const auto& [line, id, message] : cases) {
        shell.send(line);
        EXPECT_EQ(shell.next().value_or(Json()),
                  Json({{"id", Json::parse(id)}, {"ok", false}, {"message", message}}))
            << line.substr(0, 80);
    }
    shell.send(padded(200000));  // exactly the limit
    EXPECT_EQ((*shell.next())["ok"], true);
    // Ids are echoed as bytes: a re-parse would make 1.50 and 1.5 look alike.
    for (const char* id : {"1.50", R"("a\"b")", "18446744073709551615", R"("\u00e9")", "-0"}) {
        shell.send(R"({"id":)" + std::string(id) + R"(,"host":"reloadView"})");
        EXPECT_EQ(shell.nextLine(), R"({"id":)" + std::string(id) + R"(,"ok":true})");
    }
}

// A file longer than a read's worth, and a tree planted deeper than a removal that recurses could
// walk on its stack: its folders are made one relative to the last, as their full path is too long
// for the system. In memory where there is some, as removing 20,000 folders from a busy disk takes
// minutes.
TEST(StdioHostStore, TakesALongLineWholeAndRemovesADeepTree) {
    TemporaryDirectory directory(fs::is_directory("/dev/shm") ? "/dev/shm"
                                                              : fs::temp_directory_path());
    fs::path container = directory / "c", store = container / "Library/Application Support/offline";
    ShellProcess shell{{"stdio", "--container", container.string()}};
    std::string bytes;
    for (int i = 0; bytes.size() < 3 << 20; ++i) {
        bytes += std::to_string(i) + ",";
    }
    std::string text = base64::encode(bytes);
    EXPECT_EQ(shell.store("writeFile", {{"filename", "song.mp3"}, {"data", text}})["ok"], true);
    EXPECT_TRUE(readWhole(store / "song.mp3") == bytes);  // megabytes: not printed
    // Staged, but not the payload: the method still stores its own "data".
    EXPECT_EQ(shell.store("writeFile", {{"filename", "b"}, {"note", text}, {"data", "aGk="}})["ok"],
              true);
    EXPECT_TRUE(readWhole(store / "b") == "hi");
    EXPECT_TRUE(fs::is_empty(container / "Library/.musicshell-writes"));
    // Cleaning the scratch folder removes through the same call as deleting.
    fs::create_directories(store / "deep");
    int folder = ::open((store / "deep").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int level = 0;
    for (; level < 20000 && ::mkdirat(folder, "d", 0700) == 0; ++level) {
        int inner = ::openat(folder, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(folder);
        folder = inner;
    }
    ::close(folder);
    ASSERT_EQ(level, 20000);
    EXPECT_EQ(shell.store("deleteFile", {{"filename", "deep"}})["data"], Json({{"success", true}}));
    EXPECT_FALSE(fs::exists(store / "deep"));
}

TEST(StdioHostExit, ClosedStreamsStayClosed) {
    TemporaryDirectory directory;
    // A standard stream the shell was started without is never its lock file: requests are not
    // read from it, nor answers or the log written into it.
    auto lock = directory / "c/.musicshell.lock";
    const std::string request = R"({"id":1,"host":"reloadView"})";
    for (std::string closed : {"<&-", ">&-", "2>&-"}) {
        fs::create_directories(lock.parent_path());
        std::ofstream(lock) << request << "\n";
        ShellProcess shell({"-c", "exec \"$0\" stdio --container \"$1\" " + closed,
                            MUSICSHELL_BINARY, lock.parent_path().string()},
                           "unix:path=/nonexistent", "/bin/sh");
        if (closed != "<&-") {
            shell.send(request);
        }
        shell.closeInput();
        EXPECT_EQ(shell.wait(), 0) << closed;
        EXPECT_EQ(shell.nextLine(), closed == "2>&-"
                                        ? std::optional<std::string>(R"({"id":1,"ok":true})")
                                        : std::nullopt)
            << closed;
        EXPECT_EQ(readWhole(lock), request + "\n") << closed;
    }
}

}  // namespace

// The application in its own window, driven for real: an X display and a session bus of the
// test's own, and a test page loaded with --app that reports what it did through the bridge
// itself (a file in the offline store).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Eventually.h"
#include "FileContents.h"
#include "Images.h"
#include "PrivateDisplay.h"
#include "PrivateSessionBus.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"
#include "WindowCloser.h"

namespace fs = std::filesystem;

namespace {

class WindowTest : public testing::Test {
protected:
    PrivateDisplay display;
    PrivateSessionBus bus;
    TemporaryDirectory directory;
    fs::path container = directory / "c";
    fs::path app = directory / "app";
    fs::path opened = directory / "opened.txt";

    void SetUp() override {
#ifdef MUSICSHELL_SANITIZED
        GTEST_SKIP() << "GTK and WebKit are not built for the sanitizers; the bridge glue is "
                        "covered by RequestRouterTest and GlibMainQueueTest";
#endif
        fs::copy(fs::path(MUSICSHELL_SOURCE_DIR) / "tests/window-page", app,
                 fs::copy_options::recursive);
        // Links the window hands to the desktop land in a file instead of a browser.
        fs::create_directory(directory / "bin");
        std::ofstream(directory / "bin/xdg-open")
            << "#!/bin/sh\necho \"$1\" >> '" << opened.string() << "'\n";
        fs::permissions(directory / "bin/xdg-open", fs::perms::owner_all);
        ::setenv("PATH", ((directory / "bin").string() + ":" + std::getenv("PATH")).c_str(), 1);
        ::setenv("DISPLAY", display.name().c_str(), 1);
        ::setenv("GDK_BACKEND", "x11", 1);
        ::setenv("GTK_A11Y", "none", 1);  // no accessibility bus to start on the private one
        ::unsetenv("WAYLAND_DISPLAY");
    }

    // The test page sends one message over the largest request size given here.
    std::unique_ptr<ShellProcess> launch(std::vector<std::string> arguments = {},
                                         std::string binary = MUSICSHELL_BINARY) {
        arguments.insert(arguments.begin(),
                         {"--container", container.string(), "--max-request-bytes", "131072"});
        return std::make_unique<ShellProcess>(arguments, bus.address(), binary);
    }

    Json reportWhen(const std::function<bool(const Json&)>& condition) {
        Json report;
        EXPECT_TRUE(eventually([&] {
            report = Json::parse(
                readWhole(container / "Library/Application Support/offline/report.json"), nullptr,
                false);
            return !report.is_discarded() && condition(report);
        })) << report.dump() + "\n" + shell->standardError();
        return report;
    }

    std::unique_ptr<ShellProcess> shell;
};

TEST_F(WindowTest, ThePageReachesEveryPluginAndTheDesktopDrivesIt) {
    shell = launch({"--app", app.string()});
    Json report = reportWhen([](const Json& r) { return r.contains("media"); });
    EXPECT_EQ(report["calls"], Json::parse(R"({
        "readFile": {"ok": true, "data": {"data": "aGk="}},
        "updateStatus": {"ok": true, "data": null},
        "downloadFile": {"ok": true, "data": {"path": ")" +
                                           (container / "Documents/Downloads/song.wav").string() +
                                           R"("}},
        "tooLarge": {"ok": false, "message": "Request too large"}})"));
    EXPECT_EQ(report["road"], "channel");
    // Stored from the page's bytes, played from the container, seeked.
    const Json& media = report["media"];
    ASSERT_EQ(media["ok"], true) << media;
    EXPECT_GT(media["data"]["advanced"], 0.2);
    EXPECT_GE(media["data"]["afterSeek"], 2.0);
    EXPECT_LT(media["data"]["afterSeek"], 2.5);

    // A later launch on the same container hands its URL over and ends (a bare URL: the reload's).
    EXPECT_EQ(launch({"open", "musicshell://song/3"})->wait(), 0);
    Json heard = {{"appUrlOpen", "musicshell://song/3"}};
    reportWhen([&](const Json& r) { return std::ranges::count(r["events"], heard) > 0; });
    // The page heard all that once, without ever leaving: its attempt to go elsewhere was refused.
    Json last = reportWhen([](const Json&) { return true; });
    EXPECT_EQ(last["page"], report["page"]);
    EXPECT_EQ(last["events"].size(), 1u) << last;
    EXPECT_FALSE(fs::exists(opened));

    // A reload says playback stopped until the new page reports (this one does not).
    EXPECT_EQ(bus.playerctl("status"), "Paused");
    EXPECT_EQ(launch({"musicshell://reload"})->wait(), 0);
    reportWhen([](const Json& r) { return r.value("reloaded", false) && r.contains("media"); });
    EXPECT_EQ(bus.playerctl("status"), "Stopped");

    std::string root =
        bus.mpris("org.freedesktop.DBus.Properties.GetAll string:org.mpris.MediaPlayer2");
    for (const char* property :
         {R"("CanRaise"\s+variant\s+boolean true)", R"("CanQuit"\s+variant\s+boolean true)",
          R"("DesktopEntry"\s+variant\s+string "musicshell")"}) {
        EXPECT_THAT(root, testing::ContainsRegex(property));
    }
    EXPECT_EQ(bus.mpris("org.mpris.MediaPlayer2.Raise").find("Error"), std::string::npos);
    bus.mpris("org.mpris.MediaPlayer2.Quit");
    EXPECT_EQ(shell->wait(), 0) << shell->standardError();
}

// A page written for browsers, never importing the client: its navigator.mediaSession is the
// widget's, and the engine's own session, playing audio meanwhile, is not a second player. With the
// inspector, the page's console errors and warnings would reach the shell's log.
TEST_F(WindowTest, APageUsingOnlyTheWebsMediaSessionDrivesTheWidgetUntilTheWindowIsClosed) {
    fs::path page = app / "session";
    fs::copy_file(app / "tone.wav", page / "tone.wav");
    for (int size : {512, 300, 32}) {
        std::ofstream(page / ("cover-" + std::to_string(size) + ".png")) << pngOf(size, size);
    }
    shell = launch({"--app", page.string(), "--inspect"});
    // The picture shown, by its width: a file of the container, as the widget reads it.
    auto artWidth = [&] {
        std::string url = bus.playerctl("metadata mpris:artUrl");
        std::string png = url.starts_with("file://") ? readWhole(url.substr(7)) : "";
        return png.size() < 24 ? 0 : (std::uint8_t(png[18]) << 8) | std::uint8_t(png[19]);
    };
    const std::string shown = "metadata --format '{{title}}|{{artist}}|{{album}}|{{mpris:length}}'";
    EXPECT_TRUE(eventually([&] { return bus.playerctl(shown) == "Tone|Page|Standard|60000000"; }))
        << bus.playerctl(shown) << shell->standardError();
    EXPECT_TRUE(eventually([&] { return artWidth() == 300; })) << artWidth();
    const std::vector<std::pair<std::string, Json>> presses = {
        {"next", {{"action", "nexttrack"}}},
        {"previous", {{"action", "previoustrack"}}},
        {"position 30", {{"action", "seekto"}, {"seekTime", 30}, {"fastSeek", false}}},
        {"position 5+", {{"action", "seekforward"}, {"seekOffset", 5}}},
        // No seekbackward handler: a seek to where that lands, from the position last reported.
        {"position 5-", {{"action", "seekto"}, {"seekTime", 5}, {"fastSeek", false}}},
        {"stop", {{"action", "stop"}}},
        {"play-pause", {{"action", "play"}}},
    };
    for (const auto& [command, details] : presses) {
        bus.playerctl(command);
        EXPECT_TRUE(eventually([&] {
            return Json::parse(bus.playerctl("metadata album"), nullptr, false) == details;
        })) << command
            << ": " << bus.playerctl("metadata album");
    }
    EXPECT_EQ(artWidth(), 64);
    EXPECT_EQ(bus.run("playerctl -l"), "musicshell");
    ASSERT_TRUE(closeWindow(display.name(), "media session test"));
    EXPECT_EQ(shell->wait(), 0) << shell->standardError();
    EXPECT_THAT(shell->standardError(), testing::Not(testing::HasSubstr("page: ")));
    for (const auto& entry : fs::recursive_directory_iterator(container / "tmp")) {
        EXPECT_TRUE(entry.is_directory()) << entry.path() << " left behind";
    }
}

// A window binary with no page extension beside it: the page calls through script messages.
TEST_F(WindowTest, WithoutItsExtensionThePageCallsThroughScriptMessages) {
    fs::copy_file(fs::path(MUSICSHELL_BUILD_DIR) / "musicshell-window", directory / "bin/window");
    shell = launch({"--app", app.string()}, (directory / "bin/window").string());
    Json report = reportWhen([](const Json& r) { return r.contains("media"); });
    EXPECT_EQ(report["road"], "script message");
    EXPECT_EQ(report["calls"]["tooLarge"]["message"], "Request too large");
}

}  // namespace

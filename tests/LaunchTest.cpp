// How the binary starts with no window: on a container in use, installed, without a display.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "FileContents.h"
#include "Images.h"
#include "LoopbackServer.h"
#include "PrivateCompositor.h"
#include "PrivateDisplay.h"
#include "PrivateSessionBus.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

// Logs in at the printed address as a browser does, then gets `path`; "" unless it comes.
std::string fetch(const std::string& address, const std::string& path) {
    std::string origin = address.substr(0, address.find('/', std::string("http://").size()));
    httplib::Client client(origin);
    auto login = client.Get(address.substr(origin.size()));
    std::string cookie = login ? login->get_header_value("Set-Cookie") : "";
    auto result = client.Get(path, {{"Cookie", cookie.substr(0, cookie.find(';'))}});
    return result && result->status == 200 ? result->body : "";
}

// A link where the lock file goes, dangling or not, is neither followed nor replaced.
TEST(LaunchTest, AContainerInUseOrWithALinkForItsLockIsRefused) {
    TemporaryDirectory directory;
    std::string container = (directory / "c").string();
    ShellProcess first({"stdio", "--container", container});
    first.call({{"id", 1}, {"host", "audioSession"}});
    for (const char* mode : {"stdio", "serve"}) {
        ShellProcess second({mode, "--container", container});
        EXPECT_EQ(second.wait(), 1) << mode;
        EXPECT_THAT(second.standardError(),
                    HasSubstr("the container " + container +
                              " is in use by another musicshell; give another with --container"));
    }
    first.closeInput();
    EXPECT_EQ(first.wait(), 0);
    ShellProcess third({"stdio", "--container", container});
    EXPECT_EQ(third.call({{"id", 2}, {"host", "audioSession"}})["ok"], true);

    fs::create_directory(directory / "l");
    fs::create_symlink(directory / "outside", directory / "l/.musicshell.lock");
    ShellProcess linked({"stdio", "--container", (directory / "l").string()});
    EXPECT_EQ(linked.wait(), 1);
    EXPECT_THAT(
        linked.standardError(),
        HasSubstr("cannot lock the container " + (directory / "l").string() + ": " +
                  (directory / "l/.musicshell.lock").string() + " is a symbolic link; remove it"));
    EXPECT_FALSE(fs::exists(directory / "outside"));
    EXPECT_TRUE(fs::is_symlink(directory / "l/.musicshell.lock"));
}

TEST(LaunchTest, AnInstalledTreeServesItsAssetsWithoutADisplayAndNamesAMissingApp) {
    TemporaryDirectory directory;
    fs::path prefix = directory / "prefix";
    std::string install =
        "cmake --install '" MUSICSHELL_BUILD_DIR "' --prefix '" + prefix.string() + "' > /dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0);
    for (const char* file :
         {"bin/musicshell", "libexec/musicshell/musicshell-window",
          "share/musicshell/web/musicshell-bridge.js", "share/musicshell/web/demo/index.html",
          "share/icons/hicolor/scalable/apps/musicshell.svg", "share/man/man1/musicshell.1"}) {
        EXPECT_TRUE(fs::is_regular_file(prefix / file)) << file;
    }
    // Stripped: the build's debug information, ten times the code, is not installed.
    std::string sections =
        "readelf -S '" + (prefix / "bin/musicshell").string() + "' | grep -q debug";
    EXPECT_NE(std::system(sections.c_str()), 0);
    std::string entry = readWhole(prefix / "share/applications/musicshell.desktop");
    EXPECT_THAT(entry, HasSubstr("\nExec=musicshell %u\n"));
    EXPECT_THAT(entry, HasSubstr("\nMimeType=x-scheme-handler/musicshell;\n"));

    // Without a display the window's own binary, found under libexec/, serves instead; a binary
    // without it beside it says so, and serves too.
    std::string binary = (prefix / "bin/musicshell").string();
    fs::create_directory(directory / "alone");
    fs::copy_file(binary, directory / "alone/musicshell");
    const std::vector<std::tuple<const char*, std::string, std::string>> cases = {
        {nullptr, binary,
         "no display ($DISPLAY and $WAYLAND_DISPLAY are unset): serving the web application for "
         "a browser instead"},
        {":404", (directory / "alone/musicshell").string(),
         "cannot open a window: " + (directory / "libexec/musicshell/musicshell-window").string() +
             ": No such file or directory; serving the web application for a browser instead"},
    };
    ::unsetenv("WAYLAND_DISPLAY");
    for (const auto& [display, program, logged] : cases) {
        display ? ::setenv("DISPLAY", display, 1) : ::unsetenv("DISPLAY");
        ShellProcess shell({"--container", (directory / "c").string()}, "unix:path=/nonexistent",
                           program);
        std::string address = shell.firstOtherLine();
        EXPECT_TRUE(address.starts_with("http://127.0.0.1:")) << shell.standardError();
        EXPECT_THAT(shell.standardError(), HasSubstr(logged));
        EXPECT_EQ(fetch(address, "/musicshell-bridge.js"),
                  readWhole(prefix / "share/musicshell/web/musicshell-bridge.js"));
    }
    ::unsetenv("DISPLAY");

    // Nor is a browser started, and the address is served all the same.
    ShellProcess opening({"serve", "--open", "--container", (directory / "o").string()},
                         "unix:path=/nonexistent", binary);
    std::string address = opening.firstOtherLine();
    EXPECT_FALSE(fetch(address, "/musicshell-bridge.js").empty());
    opening.signal(SIGTERM);
    EXPECT_EQ(opening.wait(), 0);
    EXPECT_THAT(opening.standardError(),
                HasSubstr("cannot open a browser: no display ($DISPLAY and $WAYLAND_DISPLAY are "
                          "unset); open the address by hand"));

    ShellProcess missing({"serve", "--container", (directory / "d").string(), "--app",
                          (directory / "nothing").string()},
                         "unix:path=/nonexistent", binary);
    EXPECT_EQ(missing.wait(), 1);
    EXPECT_THAT(missing.standardError(),
                HasSubstr("no web application at " + (directory / "nothing").string() +
                          ": --app must name its folder"));
}

// Each manifest is refused at start, with one line naming its key.
TEST(LaunchTest, ABadManifestIsRefusedNamingItsKey) {
    TemporaryDirectory directory;
    fs::create_directory(directory / "app");
    std::ofstream(directory / "outside.svg") << "<svg/>";
    // 256 pixels wide, 255 high.
    std::ofstream(directory / "app/small.png")
        << std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\1\0\0\0\0\xff", 24);
    const std::pair<const char*, std::string> cases[] = {
        {R"({"name": "T"})", R"("id" is missing)"},
        {R"({"id": "Tunes", "name": "T"})", R"("id" must be a reverse-DNS application id)"},
        {R"({"id": "org.example.9x", "name": "T"})", R"("id" must be a reverse-DNS)"},
        {R"({"id": "org.example.T", "name": 7})", R"("name" must be a non-empty string)"},
        {R"({"id": "a.b", "name": "T", "schemes": ["tunes", "1x"]})", R"("schemes" holds "1x")"},
        {R"({"id": "a.b", "name": "T", "icon": "small.png"})", R"("icon" must be a PNG of)"},
        {R"({"id": "a.b", "name": "T", "icon": "../outside.svg"})", R"("icon" must be a PNG)"},
        {R"({"id": "a.b", "name": "T", "window": {"width": 0}})", R"("window.width" must be)"},
        {R"({"id": "a.b", "name": "T", "package": "Tunes"})", R"("package" must be a Debian)"},
        {R"({"id": "a.b", "name": "T", "version": "one"})", R"("version" must start with)"},
        {R"({"id": "a.b", "name": "T", "devUrl": "http://example.org:5173"})",
         R"("devUrl" must be a development server on loopback)"},
        {R"(["id"])", "not a JSON object"},
        {R"({"id": "a.b", "name": "T"})", "--dev needs a devUrl in"},
    };
    for (const auto& [manifest, logged] : cases) {
        std::ofstream(directory / "app/musicshell.json") << manifest;
        ShellProcess shell({"serve", "--dev", "--app", (directory / "app").string(), "--container",
                            (directory / "c").string()});
        EXPECT_EQ(shell.wait(), 1) << manifest;
        std::string line = logged.starts_with('-') ? logged : "musicshell.json: " + logged;
        EXPECT_THAT(shell.standardError(), HasSubstr("musicshell: " + line)) << manifest;
    }
}

// The sample application, bundled and unpacked where no install would put it: its manifest names
// it on the bus, in its container, log, cookie and requests, and picks the URLs it hears; --dev
// serves the development server's pages and its live-reload socket.
TEST(LaunchTest, TheBundledSampleRunsUnpackedAndDevServesItsServer) {
#ifdef MUSICSHELL_SANITIZED
    // Stripped and compressed, the instrumented binaries take minutes to pack; what the package
    // holds is the same in every build.
    GTEST_SKIP() << "packaging is checked in the default build";
#endif
    PrivateSessionBus bus;
    TemporaryDirectory directory;
    LoopbackServer dev;
    dev.routes().Get("/",
                     [](const auto&, auto& response) { response.set_content("dev", "text/html"); });
    dev.routes().Get("/agent", [](const auto& request, auto& response) {
        response.set_content(request.get_header_value("User-Agent"), "text/plain");
    });
    dev.start();
    fs::copy(MUSICSHELL_SOURCE_DIR "/tests/sample-app", directory / "app");
    auto manifest = Json::parse(readWhole(directory / "app/musicshell.json"));
    manifest["devUrl"] = dev.url("");
    manifest["colour"] = "red";
    manifest["icon"] = "icon.png";
    std::ofstream(directory / "app/icon.png") << pngOf(256, 256);
    std::string deb;
    for (bool withEmail : {false, true}) {
        auto written = manifest;
        if (!withEmail) {
            written.erase("email");
        }
        std::ofstream(directory / "app/musicshell.json") << written;
        ShellProcess bundle(
            {"bundle", "--app", (directory / "app").string(), "--out", directory.path().string()});
        deb = bundle.firstOtherLine();
        EXPECT_EQ(bundle.wait(), withEmail ? 0 : 1) << bundle.standardError();
        EXPECT_EQ(
            bundle.standardError().find("musicshell.json: \"email\" is missing: a package "
                                        "names its maintainer's address") == std::string::npos,
            withEmail);
    }
    std::string architecture = "Architecture: " + bus.run("dpkg --print-architecture") + "\n";
    for (std::string field : {"Package: tunes\n", "Version: 1.0.0\n", architecture.c_str(),
                              "Maintainer: Example Developers <tunes@example.org>\n",
                              "libgtk-4-1 (>= ", "libwebkitgtk-6.0-4 (>= ", "libcurl4, ",
                              "gstreamer1.0-plugins-good, ", "xdg-utils\n"}) {
        EXPECT_THAT(bus.run("dpkg-deb -f " + deb), HasSubstr(field));
    }
    // Its output shows in the log; an error fails it.
    EXPECT_EQ(bus.run("lintian " + deb + " >&2; echo $?"), "0");
    fs::path root = directory / "root";
    ASSERT_EQ(std::system(("dpkg-deb -x " + deb + " " + root.string()).c_str()), 0);
    for (const char* file :
         {"bin/tunes", "share/tunes/app/index.html",
          "share/icons/hicolor/256x256/apps/org.example.Tunes.png",
          "share/metainfo/org.example.Tunes.metainfo.xml", "share/man/man1/tunes.1.gz",
          "share/doc/tunes/copyright", "share/doc/tunes/changelog.gz",
          "lib/tunes/libexec/musicshell/web-extensions/musicshell-page-extension.so"}) {
        EXPECT_TRUE(fs::is_regular_file(root / "usr" / file)) << file;
    }
    EXPECT_EQ(bus.run("readelf -S " + root.string() + "/usr/lib/tunes/*/*/musicshell* " +
                      root.string() + "/usr/lib/tunes/bin/musicshell | grep -c debug"),
              "0");
    EXPECT_THAT(readWhole(root / "usr/share/applications/org.example.Tunes.desktop"),
                HasSubstr("\nExec=tunes %u\nIcon=org.example.Tunes\nTerminal=false\nCategories="
                          "AudioVideo;Audio;Player;\nMimeType=x-scheme-handler/tunes;\n"));
    std::string tunes = (root / "usr/bin/tunes").string();

    fs::create_directories(directory / "data/musicshell");
    ::setenv("XDG_DATA_HOME", (directory / "data").c_str(), 1);
    auto shell = std::make_unique<ShellProcess>(std::vector<std::string>{"serve", "--dev"},
                                                bus.address(), tunes);
    std::string address = shell->firstOtherLine();

    httplib::Client browser(address.substr(0, address.find('/', 7)));
    std::string cookie =
        browser.Get(address.substr(address.find('/', 7)))->get_header_value("Set-Cookie");
    EXPECT_TRUE(cookie.starts_with("tunes-")) << cookie;
    httplib::Headers loggedIn = {{"Cookie", cookie.substr(0, cookie.find(';'))}};
    EXPECT_EQ(browser.Get("/", loggedIn)->body, "dev");
    EXPECT_EQ(browser.Head("/", loggedIn)->get_header_value("Content-Length"), "3");
    // An upgrade is handed over as it came, logged in and from the shell's own origin only.
    httplib::Headers upgrade = {{"Connection", "Upgrade"},
                                {"Upgrade", "websocket"},
                                {"Origin", address.substr(0, address.find('/', 7))}};
    EXPECT_EQ(browser.Get("/", upgrade)->status, 403);
    upgrade.insert(loggedIn.begin(), loggedIn.end());
    EXPECT_EQ(browser.Get("/", upgrade)->body, "dev");
    auto path = shell->plugin("DownloadPlugin", "downloadFile",
                              {{"url", dev.url("/agent")}})["data"]["path"];
    EXPECT_EQ(path, (directory / "data/org.example.Tunes/Documents/Downloads/audio.mp3").string());
    EXPECT_THAT(readWhole(path.get<std::string>()),
                testing::MatchesRegex("Tunes/1\\.0\\.0 musicshell/[0-9.]+"));
    auto names = [&] {
        return bus.mpris("org.freedesktop.DBus.Properties.GetAll string:org.mpris.MediaPlayer2",
                         "org.example.Tunes");
    };
    EXPECT_THAT(names(), testing::ContainsRegex(R"("Identity"\s+variant\s+string "Tunes")"));
    EXPECT_THAT(names(),
                testing::ContainsRegex(R"("DesktopEntry"\s+variant\s+string "org.example.Tunes")"));
    for (const auto& [url, handled] :
         {std::pair{"tunes://album/7", true}, {"musicshell://album/7", false}}) {
        EXPECT_EQ(shell->call({{"id", 2}, {"host", "openURL"}, {"url", url}})["data"]["handled"],
                  handled);
    }
    dev.stop();
    EXPECT_EQ(browser.Get("/", loggedIn)->status, 502);
    EXPECT_THAT(shell->standardError(),
                HasSubstr("tunes: musicshell.json: unknown key \"colour\""));
    EXPECT_THAT(shell->standardError(), HasSubstr("tunes: this application now keeps its data in " +
                                                  (directory / "data/org.example.Tunes").string()));
    shell.reset();
    shell = std::make_unique<ShellProcess>(
        std::vector<std::string>{"serve", "--container", (directory / "c").string()},
        "unix:path=/nonexistent", tunes);
    EXPECT_EQ(fetch(shell->firstOtherLine(), "/"), readWhole(directory / "app/index.html"));
    shell.reset();
#ifndef MUSICSHELL_SANITIZED  // GTK and WebKit are not built for the sanitizers
    // Its window, and a second launch that hands the window its URL.
    PrivateDisplay display;
    ::setenv("DISPLAY", display.name().c_str(), 1);
    ::setenv("GDK_BACKEND", "x11", 1);
    ::setenv("GTK_A11Y", "none", 1);
    ::unsetenv("WAYLAND_DISPLAY");
    ShellProcess window({}, bus.address(), tunes);
    EXPECT_TRUE(eventually([&] { return names().find("\"Tunes\"") != std::string::npos; }));
    EXPECT_TRUE(eventually(
        [&] {
            ShellProcess({"tunes://x"}, bus.address(), tunes).wait();
            auto opened = "data/org.example.Tunes/Library/Application Support/offline/opened.txt";
            return readWhole(directory / opened) == "tunes://x";
        },
        std::chrono::seconds(90)))
        << window.standardError();
    // The desktop shows a window with its entry's icon and name when the window's class on X11,
    // and its application id on Wayland, is the entry's name.
    EXPECT_TRUE(eventually([&] {
        return bus.run("xwininfo -root -children -display " + display.name())
                   .find(R"("Tunes": ("org.example.Tunes" )") != std::string::npos;
    }));
    window.signal(SIGTERM);
    window.wait();
    ::unsetenv("DISPLAY");
    PrivateCompositor compositor;
    auto environment = compositor.environment();
    environment.insert(environment.end(), {"WAYLAND_DEBUG=client", tunes});
    ShellProcess onWayland(environment, bus.address(), "/usr/bin/env");
    EXPECT_TRUE(eventually([&] {
        return onWayland.standardError().find(R"(set_app_id("org.example.Tunes"))") !=
               std::string::npos;
    })) << onWayland.standardError();
#endif
    ::unsetenv("XDG_DATA_HOME");
}

}  // namespace

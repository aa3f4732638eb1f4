// How the binary starts with no window: on a container in use, installed, without a display.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "FileContents.h"
#include "LoopbackServer.h"
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

}  // namespace

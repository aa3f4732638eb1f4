// How the binary starts with no window: on a container in use, installed, without a display.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "FileContents.h"
#include "LoopbackServer.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace {

// Logs in at the printed address as a browser does, then gets `path`; "" unless it comes.
std::string fetch(const std::string& address, const std::string& path) {
    auto hostStart = address.find("//") + 2;
    auto pathStart = address.find('/', hostStart);
    httplib::Client client(address.substr(0, pathStart));
    auto login = client.Get(address.substr(pathStart));
    if (!login || !login->has_header("Set-Cookie")) {
        return "";
    }
    auto cookie = login->get_header_value("Set-Cookie");
    auto result = client.Get(path, {{"Cookie", cookie.substr(0, cookie.find(';'))}});
    return result && result->status == 200 ? result->body : "";
}

TEST(LaunchTest, AContainerInUseIsRefused) {
    TemporaryDirectory directory;
    std::string container = (directory / "c").string();
    ShellProcess first({"stdio", "--container", container});
    first.call({{"id", 1}, {"host", "audioSession"}});
    for (const char* mode : {"stdio", "serve"}) {
        ShellProcess second({mode, "--container", container});
        EXPECT_EQ(second.wait(), 1) << mode;
        EXPECT_NE(second.standardError().find("the container " + container +
                                              " is in use by another musicshell; give another "
                                              "with --container"),
                  std::string::npos)
            << second.standardError();
    }
    first.closeInput();
    EXPECT_EQ(first.wait(), 0);
    // The claim ends with the process.
    ShellProcess third({"stdio", "--container", container});
    EXPECT_EQ(third.call({{"id", 2}, {"host", "audioSession"}})["ok"], true);
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
    std::string entry = readWhole(prefix / "share/applications/musicshell.desktop");
    EXPECT_NE(entry.find("\nExec=musicshell %u\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nMimeType=x-scheme-handler/musicshell;\n"), std::string::npos);

    // Without a display the window's own binary, found under libexec/, serves instead.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    std::string binary = (prefix / "bin/musicshell").string();
    ShellProcess shell({"--container", (directory / "c").string()}, "unix:path=/nonexistent",
                       binary);
    std::string address = shell.firstOtherLine();
    EXPECT_TRUE(address.starts_with("http://127.0.0.1:")) << shell.standardError();
    EXPECT_NE(shell.standardError().find("no display ($DISPLAY and $WAYLAND_DISPLAY are unset): "
                                         "serving the web application for a browser instead"),
              std::string::npos);
    EXPECT_EQ(fetch(address, "/musicshell-bridge.js"),
              readWhole(prefix / "share/musicshell/web/musicshell-bridge.js"));

    // A binary without the window's beside it says so, and serves.
    fs::create_directory(directory / "alone");
    fs::copy_file(binary, directory / "alone/musicshell");
    ::setenv("DISPLAY", ":404", 1);
    ShellProcess alone({"--container", (directory / "e").string()}, "unix:path=/nonexistent",
                       (directory / "alone/musicshell").string());
    EXPECT_TRUE(alone.firstOtherLine().starts_with("http://127.0.0.1:"));
    EXPECT_NE(
        alone.standardError().find("cannot open a window: " +
                                   (directory / "libexec/musicshell/musicshell-window").string() +
                                   ": No such file or directory; serving the web "
                                   "application for a browser instead"),
        std::string::npos)
        << alone.standardError();
    ::unsetenv("DISPLAY");

    ShellProcess missing({"serve", "--container", (directory / "d").string(), "--app",
                          (directory / "nothing").string()},
                         "unix:path=/nonexistent", binary);
    EXPECT_EQ(missing.wait(), 1);
    EXPECT_NE(
        missing.standardError().find("no web application at " + (directory / "nothing").string() +
                                     ": --app must name its folder"),
        std::string::npos)
        << missing.standardError();
}

}  // namespace

#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Host/Core/AppManifest.h"

namespace host {

// What the host is told on its command line, and what it knows of the application it runs: the
// plugins to create and the root view controller of the main interface.
struct HostConfiguration {
    // window: the web application in a window of its own. stdio: requests on standard input.
    // serve: the web application in the user's browser. login: a fresh address from the server
    // that runs on the container. bundle: a Debian package of the application.
    enum class Transport { window, stdio, serve, login, bundle };

    Transport transport = Transport::stdio;
    std::filesystem::path container;
    std::optional<std::string> opener;
    std::size_t maxRequestBytes = std::size_t{512} << 20;
    // A download that averages under 1 KiB a second for this long fails.
    std::chrono::seconds downloadStallWindow{60};
    // The largest download body; unset: only free space bounds it.
    std::optional<std::uint64_t> maxDownloadBytes;
    std::vector<std::string> plugins = {"DownloadPlugin", "OfflineStoragePlugin",
                                        "PlaybackStatusPlugin"};
    std::string rootViewController = "musicshell.MainViewController";

    // For window and serve: the web application's files and the bridge client's folder.
    std::filesystem::path appDirectory;
    std::filesystem::path clientDirectory;
    // For serve and login: the port (0: any free one) and whether to start the desktop's browser
    // on the address.
    unsigned short port = 0;
    bool openBrowser = false;
    // Connections served at once, and the seconds a connection has to send a request's headers.
    std::size_t maxConnections = 512;
    double headerTimeoutSeconds = 10;
    // For window: a URL to hand to the application, and whether the web inspector is offered.
    std::optional<std::string> url;
    bool inspector = false;
    // For window and serve: the pages come from the manifest's development server instead of
    // the application's folder.
    bool dev = false;
    // For bundle: where the package is written.
    std::filesystem::path bundleDirectory = ".";

    // What the application's folder says of it; without a manifest it goes by musicshell's
    // own names, and any URL handed to it reaches its page.
    std::optional<AppManifest> manifest;
    // Lines for the log once the application runs, not from a launch that only hands over.
    std::vector<std::string> notices;

    // The desktop entry's id, the media widget's bus name and identity, the window's title.
    std::string applicationId() const;
    std::string applicationName() const;
    // The program's name: the log's prefix and the login cookie's.
    std::string programName() const;
    std::string userAgent() const;
    bool receivesURL(std::string_view handed) const;

    // The container when none is named: $MUSICSHELL_CONTAINER, else $XDG_DATA_HOME/FOLDER,
    // else ~/.local/share/FOLDER.
    static std::filesystem::path defaultContainer(std::string_view folder = "musicshell");
    // The bridge client and the bundled demo: share/musicshell/web under the installed binary's
    // prefix, else the source tree's web/ the binary was built from.
    static std::filesystem::path webDirectory();
    // The development server `--dev` loads the pages from; nothing without --dev.
    std::optional<std::string> devUrl() const;
};

// Reads the command line. Gives nothing after --help, --version or an error, with `exitStatus`
// set to what the process should end with.
std::optional<HostConfiguration> parseCommandLine(int argc, char** argv, int& exitStatus);

}  // namespace host

#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// What the host is told on its command line, and what it knows of the application it runs: the
// plugins to create and the root view controller of the main interface.
struct HostConfiguration {
    std::filesystem::path container;
    std::optional<std::string> opener;
    std::size_t maxRequestBytes = std::size_t{512} << 20;
    std::vector<std::string> plugins = {"DownloadPlugin", "OfflineStoragePlugin",
                                        "PlaybackStatusPlugin"};
    std::string rootViewController = "musicshell.MainViewController";

    // The container when none is named: $MUSICSHELL_CONTAINER, else $XDG_DATA_HOME/musicshell,
    // else ~/.local/share/musicshell.
    static std::filesystem::path defaultContainer();
};

// Reads the command line. Gives nothing after --help, --version or an error, with `exitStatus`
// set to what the process should end with.
std::optional<HostConfiguration> parseCommandLine(int argc, char** argv, int& exitStatus);

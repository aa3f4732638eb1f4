#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Who a web application says it is, from the musicshell.json at the root of its folder: the
// names it goes by on the desktop, the URL schemes it receives, its window's sizes and the
// development server `--dev` loads it from. Only `id` and `name` are required.
struct AppManifest {
    struct WindowSizes {
        std::optional<int> width;
        std::optional<int> height;
        std::optional<int> minWidth;
        std::optional<int> minHeight;
    };

    // A reverse-DNS application id ("org.example.Tunes"): the desktop entry, the media widget's
    // bus name and the container's folder are named after it.
    std::string id;
    std::string name;
    std::string version = "0.0.0";
    std::string summary;
    std::string description;
    std::string homepage;
    std::string license;
    std::string developer;
    std::string email;
    // Absolute, inside the application's folder: a PNG of at least 256x256 pixels, or an SVG.
    std::optional<std::filesystem::path> icon;
    // Lowercase; the URLs handed to the application that reach its page.
    std::vector<std::string> schemes;
    std::optional<WindowSizes> window;
    // The Debian package's name, and the program's.
    std::string package;
    // "http://HOST:PORT" with a loopback HOST.
    std::optional<std::string> devUrl;

    static constexpr std::string_view fileName = "musicshell.json";
    static struct LoadedManifest load(const std::filesystem::path& appDirectory);

    // True when the URL's scheme is one of `schemes`.
    bool receives(std::string_view url) const;
};

// What reading a folder's manifest gave: nothing and no error when the folder has none. `error`
// is one line that names the key at fault; `warnings` name keys nobody reads.
struct LoadedManifest {
    std::optional<AppManifest> manifest;
    std::string error;
    std::vector<std::string> warnings;
};

}  // namespace host

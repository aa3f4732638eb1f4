#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

// The playlist catalogue: where it comes from, how long it stays fresh, and the playlists it
// holds. A data model only; nothing in the shell fetches or caches a catalogue. Held by
// reference, so it is not copied.
class MediaBrowserHelper {
public:
    struct Song {
        std::string videoId;
        std::string title;
        std::string artist;
        std::string thumbnail;
        std::string duration;  // as the catalogue writes it, e.g. "3:45"
    };

    struct Playlist {
        std::string id;
        std::string name;
        std::string image;
        std::vector<Song> songs;
    };

    MediaBrowserHelper(std::string apiBase, double cacheTTL, std::vector<Playlist> playlists,
                       std::map<std::string, Playlist> playlistCache,
                       std::optional<std::chrono::system_clock::time_point> lastFetch);
    MediaBrowserHelper(const MediaBrowserHelper&) = delete;
    MediaBrowserHelper& operator=(const MediaBrowserHelper&) = delete;

    const std::string apiBase;
    const double cacheTTL;  // seconds
    std::vector<Playlist> playlists;
    std::map<std::string, Playlist> playlistCache;
    std::optional<std::chrono::system_clock::time_point> lastFetch;
};

// The keyed form, found by argument-dependent lookup: `nlohmann::json j = playlist;` and
// `j.get<MediaBrowserHelper::Playlist>()`. Decoding requires every member with its kind, reads
// them in declaration order and throws the library's exception for the first that is missing or
// mistyped; other members are ignored.
void to_json(nlohmann::json& json, const MediaBrowserHelper::Song& song);
void from_json(const nlohmann::json& json, MediaBrowserHelper::Song& song);
void to_json(nlohmann::json& json, const MediaBrowserHelper::Playlist& playlist);
void from_json(const nlohmann::json& json, MediaBrowserHelper::Playlist& playlist);

#include "App/Model/MediaBrowserHelper.h"

#include <nlohmann/json.hpp>

MediaBrowserHelper::MediaBrowserHelper(
    std::string apiBase_, double cacheTTL_, std::vector<Playlist> playlists_,
    std::map<std::string, Playlist> playlistCache_,
    std::optional<std::chrono::system_clock::time_point> lastFetch_)
    : apiBase(std::move(apiBase_)),
      cacheTTL(cacheTTL_),
      playlists(std::move(playlists_)),
      playlistCache(std::move(playlistCache_)),
      lastFetch(lastFetch_) {}

namespace {
std::string text(const nlohmann::json& json, const char* member) {
    return json.at(member).get<std::string>();
}
}  // namespace

void to_json(nlohmann::json& json, const MediaBrowserHelper::Song& song) {
    json = {{"videoId", song.videoId},
            {"title", song.title},
            {"artist", song.artist},
            {"thumbnail", song.thumbnail},
            {"duration", song.duration}};
}

void from_json(const nlohmann::json& json, MediaBrowserHelper::Song& song) {
    // Built whole before it is handed over, so a failure leaves no partial record.
    MediaBrowserHelper::Song decoded;
    decoded.videoId = text(json, "videoId");
    decoded.title = text(json, "title");
    decoded.artist = text(json, "artist");
    decoded.thumbnail = text(json, "thumbnail");
    decoded.duration = text(json, "duration");
    song = std::move(decoded);
}

void to_json(nlohmann::json& json, const MediaBrowserHelper::Playlist& playlist) {
    json = {{"id", playlist.id},
            {"name", playlist.name},
            {"image", playlist.image},
            {"songs", playlist.songs}};
}

void from_json(const nlohmann::json& json, MediaBrowserHelper::Playlist& playlist) {
    MediaBrowserHelper::Playlist decoded;
    decoded.id = text(json, "id");
    decoded.name = text(json, "name");
    decoded.image = text(json, "image");
    decoded.songs = json.at("songs").get<std::vector<MediaBrowserHelper::Song>>();
    playlist = std::move(decoded);
}

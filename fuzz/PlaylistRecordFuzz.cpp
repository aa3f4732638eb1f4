// Playlist records decoded from any JSON either fail with the library's exception or come out
// whole, and encode back to a form that decodes to the same record.
#include <cstdint>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "App/Model/MediaBrowserHelper.h"

namespace {
bool same(const MediaBrowserHelper::Song& a, const MediaBrowserHelper::Song& b) {
    return a.videoId == b.videoId && a.title == b.title && a.artist == b.artist &&
           a.thumbnail == b.thumbnail && a.duration == b.duration;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto json = nlohmann::json::parse(data, data + size, nullptr, false);
    if (json.is_discarded()) {
        return 0;
    }
    try {
        auto playlist = json.get<MediaBrowserHelper::Playlist>();
        nlohmann::json encoded = playlist;
        auto again = encoded.get<MediaBrowserHelper::Playlist>();
        if (again.id != playlist.id || again.name != playlist.name ||
            again.image != playlist.image || again.songs.size() != playlist.songs.size()) {
            std::abort();
        }
        for (std::size_t i = 0; i < again.songs.size(); ++i) {
            if (!same(again.songs[i], playlist.songs[i])) {
                std::abort();
            }
        }
    } catch (const nlohmann::json::exception&) {
    }
    return 0;
}

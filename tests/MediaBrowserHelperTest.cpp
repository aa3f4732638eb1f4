// Included first: the header must compile on its own.
#include "App/Model/MediaBrowserHelper.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

using nlohmann::json;
using Playlist = MediaBrowserHelper::Playlist;
using Song = MediaBrowserHelper::Song;

namespace {

const json song = {{"videoId", "dQw4"},
                   {"title", "Song"},
                   {"artist", "Artist"},
                   {"thumbnail", "https://img.example/1.jpg"},
                   {"duration", "3:32"}};

json with(json base, const json& changes) {
    base.update(changes);
    return base;
}

TEST(MediaBrowserHelperTest, ARealisticPlaylistRoundTripsWithExactMemberNames) {
    json playlist = {{"id", "PL1"},
                     {"name", "Favourites"},
                     {"image", ""},
                     {"songs", {song, with(song, {{"videoId", "x2"}, {"title", ""}})}}};
    auto decoded = playlist.get<Playlist>();
    EXPECT_EQ(decoded.id, "PL1");
    EXPECT_EQ(decoded.image, "");
    ASSERT_EQ(decoded.songs.size(), 2u);
    EXPECT_EQ(decoded.songs[0].duration, "3:32");
    EXPECT_EQ(decoded.songs[1].videoId, "x2");
    json encoded = decoded;
    EXPECT_EQ(encoded, playlist);

    json empty = Playlist{"PL2", "Empty", "cover.png", {}};
    EXPECT_EQ(empty["songs"], json::array());
    EXPECT_TRUE(empty.get<Playlist>().songs.empty());
}

TEST(MediaBrowserHelperTest, ExtraMembersAreIgnoredAndNotWrittenBack) {
    json withExtras = song;
    withExtras["album"] = "Ignored";
    withExtras["Duration"] = 12;
    json encoded = withExtras.get<Song>();
    EXPECT_EQ(encoded, song);
}

// Every member is required with its kind: each one missing, or of another kind, fails the whole
// record with the library's own exception, in a song alone and in a song of a playlist.
TEST(MediaBrowserHelperTest, EachMemberMissingOrMistypedInTurnFailsTheRecord) {
    const json playlist = {{"id", "PL"}, {"name", "N"}, {"image", ""}, {"songs", {song}}};
    for (const auto& [member, value] : song.items()) {
        json missing = song;
        missing.erase(member);
        EXPECT_THROW(missing.get<Song>(), json::out_of_range) << member;
        EXPECT_THROW(with(playlist, {{"songs", {missing}}}).get<Playlist>(), json::out_of_range)
            << member;
        EXPECT_THROW(with(song, {{member, 7}}).get<Song>(), json::type_error) << member;
    }
    for (const auto& [member, value] : playlist.items()) {
        json missing = playlist;
        missing.erase(member);
        EXPECT_THROW(missing.get<Playlist>(), json::out_of_range) << member;
        EXPECT_THROW(with(playlist, {{member, 7}}).get<Playlist>(), json::type_error) << member;
    }
    json wrongCase = song;
    wrongCase.erase("videoId");
    wrongCase["videoID"] = "dQw4";
    EXPECT_THROW(wrongCase.get<Song>(), json::out_of_range);
    EXPECT_THROW(json::array().get<Song>(), json::type_error);
}

}  // namespace

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

// Each one fails with the library's own exception, naming the first bad member.
TEST(MediaBrowserHelperTest, MissingOrMistypedMembersFailTheWholeRecord) {
    json noImage = {{"id", "PL"}, {"name", "N"}, {"songs", json::array()}};
    EXPECT_THROW(noImage.get<Playlist>(), json::out_of_range);

    json numericDuration = with(song, {{"duration", 212}});
    EXPECT_THROW(numericDuration.get<Song>(), json::type_error);
    json containing = {
        {"id", "PL"}, {"name", "N"}, {"image", ""}, {"songs", {song, numericDuration}}};
    EXPECT_THROW(containing.get<Playlist>(), json::type_error);

    json wrongCase = song;
    wrongCase.erase("videoId");
    wrongCase["videoID"] = "dQw4";
    EXPECT_THROW(wrongCase.get<Song>(), json::out_of_range);

    json songsNotAList = {{"id", "PL"}, {"name", "N"}, {"image", ""}, {"songs", song}};
    EXPECT_THROW(songsNotAList.get<Playlist>(), json::type_error);
    EXPECT_THROW(json::array().get<Song>(), json::type_error);

    // The first bad member is the one reported, in declaration order.
    json twoBad = {{"id", 1}, {"name", 2}, {"image", ""}, {"songs", json::array()}};
    try {
        twoBad.get<Playlist>();
        FAIL();
    } catch (const json::type_error& error) {
        EXPECT_EQ(error.id, 302);
    }
}

TEST(MediaBrowserHelperTest, TheHolderKeepsWhatItWasMadeWith) {
    auto fetched = std::chrono::system_clock::now();
    MediaBrowserHelper helper("https://api.example", 300, {Playlist{"PL", "N", "", {}}},
                              {{"PL", Playlist{"PL", "N", "", {}}}}, fetched);
    EXPECT_EQ(helper.apiBase, "https://api.example");
    EXPECT_EQ(helper.cacheTTL, 300);
    EXPECT_EQ(helper.playlists.size(), 1u);
    EXPECT_EQ(helper.playlistCache.at("PL").name, "N");
    EXPECT_EQ(helper.lastFetch, fetched);
}

}  // namespace

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
const json playlist = {{"id", "PL1"}, {"name", "Favourites"}, {"image", ""}, {"songs", {song}}};

json with(json base, const json& changes) {
    base.update(changes);
    return base;
}

// Members of another name or case are ignored on the way in and never written out.
TEST(MediaBrowserHelperTest, RecordsRoundTripWithExactMemberNames) {
    json full = with(playlist, {{"songs", {song, with(song, {{"videoId", "x2"}, {"title", ""}})}}});
    EXPECT_EQ(json(full.get<Playlist>()), full);
    EXPECT_EQ(json(with(song, {{"album", "Ignored"}, {"Duration", 12}}).get<Song>()), song);
    EXPECT_EQ(json(Playlist{"PL2", "Empty", "cover.png", {}})["songs"], json::array());
}

// Every member is required with its kind: each one missing, or of another kind, fails the whole
// record. A song of a playlist is read by the same code as a song alone.
TEST(MediaBrowserHelperTest, EachMemberMissingOrMistypedInTurnFailsTheRecord) {
    auto each = [](const json& record, auto parse) {
        for (const auto& [member, value] : record.items()) {
            json missing = record;
            missing.erase(member);
            EXPECT_THROW(parse(missing), json::out_of_range) << member;
            EXPECT_THROW(parse(with(record, {{member, 7}})), json::type_error) << member;
        }
    };
    each(song, [](const json& record) { return record.get<Song>(); });
    each(playlist, [](const json& record) { return record.get<Playlist>(); });
}

}  // namespace

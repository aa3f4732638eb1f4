#include <gtest/gtest.h>

#include <future>

#include "App/Media/MediaManager.h"
#include "Eventually.h"
#include "Fakes/FakeServices.h"
#include "Images.h"
#include "LoopbackServer.h"
#include "Platform/Desktop/CurlURLSession.h"
#include "Platform/Desktop/StbImageDecoder.h"
#include "TemporaryDirectory.h"

namespace {

// Pictures are refused by their pixel count, not by either side alone.
TEST(StbImageDecoderTest, RefusesPicturesOfMoreThanTheMostPixels) {
    StbImageDecoder decoder;
    auto size = [&](int width, int height) -> std::optional<std::pair<int, int>> {
        auto image = decoder.decode(pngOf(width, height));
        return image ? std::optional(std::pair(image->width, image->height)) : std::nullopt;
    };
    EXPECT_EQ(size(48, 24), std::pair(48, 24));
    EXPECT_EQ(size(16384, 1024), std::pair(16384, 1024));
    EXPECT_EQ(size(16384, 1025), std::nullopt);
    EXPECT_EQ(size(1025, 16384), std::nullopt);
}

// The media manager on the real URL session and image decoder, against a loopback server: a
// slow picture never holds up publication.
TEST(ArtworkLoadingTest, ARealPictureArrivesAfterThePublicationItBelongsTo) {
    std::promise<void> reply;
    std::shared_future<void> replied = reply.get_future().share();
    LoopbackServer server;
    server.routes().Get("/slow.png", [&](const httplib::Request&, httplib::Response& response) {
        replied.wait();
        response.set_content(pngOf(5, 7), "image/png");
    });
    server.start();
    TemporaryDirectory directory;
    FakeServices fakes;
    auto services = fakes.services();
    auto session = std::make_shared<CurlURLSession>(directory.path());
    services.urlSession = session;
    services.imageDecoder = std::make_shared<StbImageDecoder>();
    auto manager = MediaManager::create(services);

    auto status = manager->status();
    status.artworkURL = server.url("/slow.png");
    manager->setStatus(status);
    manager->updateNowPlayingInfo();
    auto artwork = [&] { return fakes.nowPlaying->nowPlayingInfo().value().artwork; };
    EXPECT_FALSE(artwork());
    reply.set_value();
    ASSERT_TRUE(eventually([&] { return artwork().has_value(); }));
    EXPECT_EQ(artwork()->width, 5);
    EXPECT_EQ(artwork()->height, 7);
    server.stop();
    session->stop();
}

}  // namespace

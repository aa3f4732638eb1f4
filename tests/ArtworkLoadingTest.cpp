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

// The media manager on the real URL session and image decoder, against a loopback server.
class ArtworkLoadingTest : public testing::Test {
protected:
    void SetUp() override {
        server.routes().Get("/cover.png", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(pngOf(48, 24), "image/png");
        });
        server.routes().Get("/slow.png",
                            [this](const httplib::Request&, httplib::Response& response) {
                                release.wait();
                                response.set_content(pngOf(5, 7), "image/png");
                            });
        server.start();
        fakes.urlSession.reset();
        auto services = fakes.services();
        services.urlSession = session;
        services.imageDecoder = std::make_shared<StbImageDecoder>();
        manager = MediaManager::create(services);
    }

    void TearDown() override {
        releaseSlowReply.set_value();
        server.stop();
        session->stop();
    }

    void publish(const std::string& url) {
        auto status = manager->status();
        status.artworkURL = url;
        manager->setStatus(status);
        manager->updateNowPlayingInfo();
    }

    std::optional<platform::Image> artwork() const {
        auto info = fakes.nowPlaying->nowPlayingInfo();
        return info ? info->artwork : std::nullopt;
    }

    TemporaryDirectory directory;
    LoopbackServer server;
    std::promise<void> releaseSlowReply;
    std::shared_future<void> release = releaseSlowReply.get_future().share();
    FakeServices fakes;
    std::shared_ptr<CurlURLSession> session = std::make_shared<CurlURLSession>(directory.path());
    std::shared_ptr<MediaManager> manager;
};

TEST_F(ArtworkLoadingTest, ARealPictureBecomesTheArtworkWithItsSize) {
    publish(server.url("/cover.png"));
    ASSERT_TRUE(eventually([&] { return artwork().has_value(); }));
    EXPECT_EQ(artwork()->width, 48);
    EXPECT_EQ(artwork()->height, 24);
}

TEST_F(ArtworkLoadingTest, ASlowReplyNeverHoldsUpPublication) {
    publish(server.url("/slow.png"));
    auto info = fakes.nowPlaying->nowPlayingInfo();
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->artwork);
    releaseSlowReply.set_value();
    releaseSlowReply = {};
    ASSERT_TRUE(eventually([&] { return artwork().has_value(); }));
    EXPECT_EQ(artwork()->width, 5);
}

}  // namespace

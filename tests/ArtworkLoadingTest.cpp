#include <gtest/gtest.h>

#include <future>

#include <stb_image_write.h>

#include "App/Media/MediaManager.h"
#include "Eventually.h"
#include "Fakes/FakeServices.h"
#include "LoopbackServer.h"
#include "Platform/Desktop/CurlURLSession.h"
#include "Platform/Desktop/StbImageDecoder.h"
#include "TemporaryDirectory.h"

namespace {

std::string pngOf(int width, int height) {
    std::string pixels(static_cast<std::size_t>(width * height * 3), '\x80');
    std::string png;
    stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            static_cast<std::string*>(context)->append(static_cast<char*>(data), size);
        },
        &png, width, height, 3, pixels.data(), width * 3);
    return png;
}

// The media manager on the real URL session and image decoder, against a loopback server.
class ArtworkLoadingTest : public testing::Test {
protected:
    void SetUp() override {
        server.routes().Get("/cover.png", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(pngOf(48, 24), "image/png");
        });
        server.routes().Get("/page.html", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html>not a picture</html>", "text/html");
        });
        server.routes().Get("/slow.png", [this](const httplib::Request&, httplib::Response& response) {
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

TEST_F(ArtworkLoadingTest, ABodyThatIsNoPictureLeavesNoArtwork) {
    publish(server.url("/page.html"));
    // The cover published after it arrives, so the page's completion has run by then.
    publish(server.url("/cover.png"));
    ASSERT_TRUE(eventually([&] { return artwork().has_value(); }));
    EXPECT_EQ(artwork()->width, 48);
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

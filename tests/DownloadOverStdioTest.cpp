#include <gtest/gtest.h>

#include <fstream>
#include <future>

#include "HostileRoutes.h"
#include "LoopbackServer.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

using Json = nlohmann::json;

namespace {

class DownloadOverStdioTest : public testing::Test {
protected:
    void SetUp() override {
        server.routes().Get("/held", [this](const httplib::Request&, httplib::Response& response) {
            release.wait();
            response.set_content("held body", "application/octet-stream");
        });
        addHostileRoutes(server.routes());
        server.start();
    }

    void TearDown() override {
        releaseHeld.set_value();
        server.stop();
    }

    TemporaryDirectory directory;
    std::string container = (directory / "c").string();
    LoopbackServer server;
    std::promise<void> releaseHeld;
    std::shared_future<void> release = releaseHeld.get_future().share();
};

TEST_F(DownloadOverStdioTest, AnswersComeLaterAndAreMatchedById) {
    ShellProcess shell{{"stdio", "--container", container, "--opener", "true"}};
    shell.sendJson({{"id", "file"},
                    {"plugin", "DownloadPlugin"},
                    {"method", "downloadFile"},
                    {"options", {{"url", server.url("/held")}, {"fileName", "held.bin"}}}});
    shell.sendJson({{"id", "package"},
                    {"plugin", "DownloadPlugin"},
                    {"method", "downloadAndInstall"},
                    {"options", {{"url", server.url("/held")}}}});
    // Requests that follow are answered while both transfers wait.
    EXPECT_EQ(shell.call({{"id", "after"}, {"host", "audioSession"}})["ok"], true);
    EXPECT_TRUE(shell.messages.empty());

    releaseHeld.set_value();
    releaseHeld = {};
    std::map<std::string, Json> answers;
    for (int i = 0; i < 2; ++i) {
        auto message = shell.next();
        ASSERT_TRUE(message) << shell.standardError();
        answers[(*message)["id"]] = *message;
    }
    EXPECT_EQ(answers["file"],
              Json({{"id", "file"},
                    {"ok", true},
                    {"data", {{"path", container + "/Documents/Downloads/held.bin"}}}}));
    EXPECT_EQ(answers["package"], Json({{"id", "package"}, {"ok", true}}));
}

TEST_F(DownloadOverStdioTest, EndOfInputWaitsForTheDownloadInFlight) {
    releaseHeld.set_value();
    releaseHeld = {};
    ShellProcess shell{{"stdio", "--container", container}};
    shell.sendJson({{"id", 1},
                    {"plugin", "DownloadPlugin"},
                    {"method", "downloadFile"},
                    {"options", {{"url", server.url("/held")}}}});
    shell.closeInput();
    EXPECT_EQ(shell.wait(), 0);
    EXPECT_EQ(shell.next().value()["ok"], true);
    std::ifstream file(container + "/Documents/Downloads/audio.mp3");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "held body");
}

TEST_F(DownloadOverStdioTest, QuittingAbandonsTransfersAndTheirTemporaryFiles) {
    ShellProcess shell{{"stdio", "--container", container}};
    shell.sendJson({{"id", 1},
                    {"plugin", "DownloadPlugin"},
                    {"method", "downloadFile"},
                    {"options", {{"url", server.url("/held")}}}});
    shell.call({{"id", 2}, {"host", "audioSession"}});
    shell.send(R"({"host":"quit"})");
    EXPECT_EQ(shell.wait(), 0);
    EXPECT_FALSE(shell.next());
    EXPECT_TRUE(std::filesystem::is_empty(container + "/tmp"));
    EXPECT_FALSE(std::filesystem::exists(container + "/Documents/Downloads/audio.mp3"));
}

TEST_F(DownloadOverStdioTest, TheDownloadLimitsAreSetOnTheCommandLine) {
    ShellProcess shell{{"stdio", "--container", container, "--download-stall-seconds", "1",
                        "--max-download-bytes", "1000"}};
    auto download = [&](const std::string& path) {
        return shell.call({{"id", path},
                           {"plugin", "DownloadPlugin"},
                           {"method", "downloadFile"},
                           {"options", {{"url", server.url(path)}}}})["message"];
    };
    EXPECT_EQ(download("/endless"), "Download failed: Larger than the limit of 1000 bytes");
    EXPECT_EQ(download("/trickle"),
              "Download failed: Operation too slow. Less than 1024 bytes/sec transferred the last "
              "1 seconds");
    EXPECT_TRUE(std::filesystem::is_empty(container + "/tmp"));
    EXPECT_FALSE(std::filesystem::exists(container + "/Documents/Downloads"));
}

}  // namespace

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

#include "App/Bridge/Base64.h"
#include "FileContents.h"
#include "LoopbackServer.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// The shell on a container that lives on a 1 MiB tmpfs, which the test fills to the last byte.
// Mounting needs root; elsewhere the test is skipped.
class FullDiskTest : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(mountPoint);
        mounted =
            ::geteuid() == 0 && ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") == 0;
        if (!mounted) {
            GTEST_SKIP() << "needs root to mount a 1 MiB tmpfs";
        }
        server.routes().Get("/song", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(std::string(64 * 1024, 's'), "audio/mpeg");
        });
        server.start();
    }

    void TearDown() override {
        server.stop();
        if (mounted) {
            ::umount(mountPoint.c_str());
        }
    }

    // Takes every byte the volume has left.
    void fill() {
        std::ofstream filler(mountPoint / "filler", std::ios::binary);
        std::string block(4096, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {
            filler.flush();
        }
    }

    Json call(ShellProcess& shell, const std::string& plugin, const std::string& method,
              Json options) {
        return shell.call(
            {{"id", 1}, {"plugin", plugin}, {"method", method}, {"options", std::move(options)}});
    }

    TemporaryDirectory directory;
    fs::path mountPoint = directory / "tmpfs";
    fs::path container = mountPoint / "c";
    bool mounted = false;
    LoopbackServer server;
};

TEST_F(FullDiskTest, EveryWriteIsRefusedClearlyAndNothingIsLost) {
    ShellProcess shell{{"stdio", "--container", container.string()}};
    ASSERT_EQ(
        call(shell, "OfflineStoragePlugin", "writeFile",
             {{"filename", "kept.bin"}, {"data", base64::encode(std::string(100000, 'k'))}})["ok"],
        true);
    ASSERT_EQ(call(shell, "DownloadPlugin", "downloadFile", {{"url", server.url("/song")}})["ok"],
              true);
    fill();

    EXPECT_EQ(
        call(shell, "OfflineStoragePlugin", "writeFile",
             {{"filename", "kept.bin"}, {"data", base64::encode(std::string(200000, 'n'))}}),
        Json::parse(R"({"id":1,"ok":false,"message":"Write failed: No space left on device"})"));
    EXPECT_EQ(call(shell, "OfflineStoragePlugin", "writeTempFile",
                   {{"data", base64::encode(std::string(9000, 't'))}}),
              Json::parse(
                  R"({"id":1,"ok":false,"message":"Temp write failed: No space left on device"})"));
    auto download = call(shell, "DownloadPlugin", "downloadFile", {{"url", server.url("/song")}});
    EXPECT_EQ(
        download,
        Json::parse(R"({"id":1,"ok":false,"message":"Download failed: Not enough free space"})"));

    // The identifier is still given; it is simply not kept.
    auto identifier = call(shell, "OfflineStoragePlugin", "getDeviceId", Json::object());
    EXPECT_EQ(identifier["data"]["deviceId"].get<std::string>().size(), 36u);

    EXPECT_EQ(readWhole(container / "Library/Application Support/offline/kept.bin"),
              std::string(100000, 'k'));
    EXPECT_EQ(readWhole(container / "Documents/Downloads/audio.mp3"), std::string(64 * 1024, 's'));
    EXPECT_EQ(call(shell, "OfflineStoragePlugin", "listFiles", Json::object())["data"]["files"],
              Json({"kept.bin"}));
    EXPECT_TRUE(fs::is_empty(container / "tmp/offline_temp"));
    for (const auto& entry : fs::directory_iterator(container / "tmp")) {
        EXPECT_EQ(entry.path().filename(), "offline_temp")
            << "a failed download left its body behind";
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

#include "App/Bridge/Base64.h"
#include "FileContents.h"
#include "LoopbackServer.h"
#include "PluginRequest.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// The shell on a container that lives on a 1 MiB tmpfs, which the test fills to the last byte.
// Mounting needs root; elsewhere the test is skipped.
TEST(FullDiskTest, EveryWriteIsRefusedClearlyAndNothingIsLost) {
    TemporaryDirectory directory;
    fs::path mountPoint = directory / "tmpfs";
    fs::create_directories(mountPoint);
    if (::geteuid() != 0 || ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "needs root to mount a 1 MiB tmpfs";
    }
    std::shared_ptr<void> unmount(nullptr, [&](void*) { ::umount(mountPoint.c_str()); });
    LoopbackServer server;
    server.routes().Get("/song", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(64 * 1024, 's'), "audio/mpeg");
    });
    server.start();
    fs::path container = mountPoint / "c";
    ShellProcess shell{{"stdio", "--container", container.string()}};
    auto store = [&](const std::string& method, Json options = Json::object()) {
        return shell.call(pluginRequest(1, "OfflineStoragePlugin", method, std::move(options)));
    };
    auto download = [&] {
        return shell.call(
            pluginRequest(1, "DownloadPlugin", "downloadFile", {{"url", server.url("/song")}}));
    };
    const std::string kept(100000, 'k');
    ASSERT_EQ(store("writeFile", {{"filename", "kept.bin"}, {"data", base64::encode(kept)}})["ok"],
              true);
    ASSERT_EQ(download()["ok"], true);
    for (std::ofstream filler(mountPoint / "filler");
         filler << std::string(4096, 'f') << std::flush;) {
    }

    auto refused = [](const std::string& message) {
        return Json({{"id", 1}, {"ok", false}, {"message", message}});
    };
    EXPECT_EQ(store("writeFile",
                    {{"filename", "kept.bin"}, {"data", base64::encode(std::string(200000, 'n'))}}),
              refused("Write failed: No space left on device"));
    EXPECT_EQ(store("writeTempFile", {{"data", base64::encode(std::string(9000, 't'))}}),
              refused("Temp write failed: No space left on device"));
    EXPECT_EQ(download(), refused("Download failed: Not enough free space"));
    // The identifier is still given; it is simply not kept.
    EXPECT_EQ(store("getDeviceId")["data"]["deviceId"].get<std::string>().size(), 36u);

    EXPECT_EQ(readWhole(container / "Library/Application Support/offline/kept.bin"), kept);
    EXPECT_EQ(readWhole(container / "Documents/Downloads/audio.mp3"), std::string(64 * 1024, 's'));
    EXPECT_EQ(store("listFiles")["data"]["files"], Json({"kept.bin"}));
    // Neither a failed download's body nor a temporary file is left behind.
    EXPECT_TRUE(fs::is_empty(container / "tmp/offline_temp"));
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(container / "tmp"), {}), 1);
}

}  // namespace

// The host killed at random moments while it replaces a file: the file holds the whole old or new
// content, and once the host has started again nothing else shows beside it.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <random>
#include <thread>

#include "App/Bridge/Base64.h"
#include "FileContents.h"
#include "LoopbackServer.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace {

class CrashSafetyTest : public testing::Test {
protected:
    void SetUp() override {
        for (const auto& [path, body] :
             {std::pair("/old", &oldContent), {"/new", &newContent}, {"/song", &songContent}}) {
            server.routes().Get(path, [body](const httplib::Request&, httplib::Response& response) {
                response.set_content(*body, "application/octet-stream");
            });
        }
        server.start();
    }

    std::unique_ptr<ShellProcess> startHost() const {
        auto host = std::make_unique<ShellProcess>(
            std::vector<std::string>{"stdio", "--container", container.string()});
        host->call({{"id", "ready"}, {"host", "audioSession"}});
        return host;
    }

    // Sends `request(i)` to a fresh host 150 times and kills it at a random moment of the time
    // the request takes here, so the kills fall all over the work on a fast machine and a slow
    // one alike; a restarted host must then find `folder` holding song.bin whole and alone.
    void repeat(const std::function<Json(int)>& request, const fs::path& folder) {
        auto first = startHost();
        auto began = std::chrono::steady_clock::now();
        ASSERT_EQ(first->call(request(0))["ok"], true);
        auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - began)
                        .count();
        first.reset();
        for (int i = 0; i < 150; ++i) {
            {
                auto host = startHost();
                host->sendJson(request(i));
                std::this_thread::sleep_for(std::chrono::microseconds(random() % (span + 1)));
                host->signal(SIGKILL);
                host->wait();
            }
            startHost();
            ASSERT_EQ(entries(folder), std::vector<std::string>{"song.bin"}) << "after kill " << i;
            std::string content = readWhole(folder / "song.bin");
            ASSERT_TRUE(content == oldContent || content == newContent) << "after kill " << i;
            ASSERT_TRUE(entries(container / "tmp").empty()) << "after kill " << i;
        }
    }

    const std::string oldContent = std::string(1 << 20, 'o');
    const std::string newContent = std::string(1 << 20, 'n');
    const std::string songContent = "song";
    TemporaryDirectory directory;
    fs::path container = directory / "c";
    LoopbackServer server;
    std::mt19937 random{20261206};
};

TEST_F(CrashSafetyTest, KilledFileWritesAndDownloadsLeaveTheOldOrTheNewFileWhole) {
    const std::string texts[] = {base64::encode(newContent), base64::encode(oldContent)};
    repeat(
        [&](int i) {
            return ShellProcess::request(1, "OfflineStoragePlugin", "writeFile",
                                         {{"filename", "song.bin"}, {"data", texts[i % 2]}});
        },
        container / "Library/Application Support/offline");
    repeat(
        [&](int i) {
            return ShellProcess::request(
                1, "DownloadPlugin", "downloadFile",
                {{"url", server.url(i % 2 ? "/old" : "/new")}, {"fileName", "song.bin"}});
        },
        container / "Documents/Downloads");
}

TEST_F(CrashSafetyTest, TheStartUpSweepLeavesEveryNameACallerChoseAndEverythingOutside) {
    const std::string scratchLike = ".musicshell-write-0123456789ab";
    startHost()->store("writeFile", {{"filename", scratchLike}, {"data", "aGk="}});
    startHost()->plugin("DownloadPlugin", "downloadFile",
                        {{"url", server.url("/song")}, {"fileName", scratchLike}});
    // Links to outside folders, where a sweep would once have looked.
    fs::path outside = directory / "outside";
    fs::create_directories(outside);
    for (const std::string& name : {scratchLike, std::string("download-0123456789abcdef.part")}) {
        std::ofstream(outside / name) << "outside";
    }
    for (const char* scratch : {"tmp", "Library/.musicshell-writes"}) {
        fs::remove_all(container / scratch);
        fs::create_directory_symlink(outside, container / scratch);
    }

    startHost();
    EXPECT_EQ(readWhole(container / "Library/Application Support/offline" / scratchLike), "hi");
    EXPECT_EQ(readWhole(container / "Documents/Downloads" / scratchLike), "song");
    EXPECT_EQ(entries(outside).size(), 2u);
    EXPECT_EQ(readWhole(outside / scratchLike), "outside");
}

}  // namespace

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
using Json = nlohmann::json;

namespace {

constexpr int kills = 150;

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename());
    }
    return names;
}

// The host killed outright at random moments while it replaces a file: each time, the file must
// hold the whole old or the whole new content, and once the host has started again nothing else
// may show beside it.
class CrashSafetyTest : public testing::Test {
protected:
    const std::string oldContent = std::string(1 << 20, 'o');
    const std::string newContent = std::string(1 << 20, 'n');
    TemporaryDirectory directory;
    std::string container = (directory / "c").string();
    std::mt19937 random{20261206};
    // How long the request takes on this machine, from sending it to its answer.
    std::chrono::microseconds span{0};

    std::vector<std::string> shell() const { return {"stdio", "--container", container}; }

    // Starts a host, waits until it answers, sends `request` and kills it at a random moment of
    // the time the request takes here, so the kills fall all over the work on a fast machine
    // and a slow one alike.
    void killDuring(const Json& request) {
        ShellProcess host(shell());
        host.call({{"id", "ready"}, {"host", "audioSession"}});
        host.sendJson(request);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % (span.count() + 1)));
        host.signal(SIGKILL);
        host.wait();
    }

    template <class Check>
    void repeat(const std::function<Json(int)>& request, Check check) {
        {
            ShellProcess host(shell());
            host.call({{"id", "ready"}, {"host", "audioSession"}});
            auto start = std::chrono::steady_clock::now();
            ASSERT_EQ(host.call(request(0))["ok"], true);
            span = std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - start);
        }
        int done = 0;
        for (; done < kills; ++done) {
            killDuring(request(done));
            ShellProcess restarted(shell());
            restarted.call({{"id", "ready"}, {"host", "audioSession"}});
            check(restarted);
            if (testing::Test::HasFailure()) {
                FAIL() << "after kill " << done;
            }
        }
        EXPECT_EQ(done, kills);
    }
};

TEST_F(CrashSafetyTest, KilledFileWritesLeaveTheOldOrTheNewFileWhole) {
    ShellProcess setup(shell());
    setup.call({{"id", 1},
                {"plugin", "OfflineStoragePlugin"},
                {"method", "writeFile"},
                {"options", {{"filename", "song.bin"}, {"data", base64::encode(oldContent)}}}});
    const std::string oldText = base64::encode(oldContent);
    const std::string newText = base64::encode(newContent);
    repeat(
        [&](int i) {
            return Json{
                {"id", 1},
                {"plugin", "OfflineStoragePlugin"},
                {"method", "writeFile"},
                {"options", {{"filename", "song.bin"}, {"data", i % 2 ? oldText : newText}}}};
        },
        [&](ShellProcess& host) {
            auto files =
                host.call({{"id", 2}, {"plugin", "OfflineStoragePlugin"}, {"method", "listFiles"}});
            ASSERT_EQ(files["data"]["files"], Json({"song.bin"}));
            auto used = host.call(
                {{"id", 3}, {"plugin", "OfflineStoragePlugin"}, {"method", "getStorageInfo"}});
            ASSERT_EQ(used["data"]["used"], 1u << 20);
            auto read = host.call({{"id", 4},
                                   {"plugin", "OfflineStoragePlugin"},
                                   {"method", "readFile"},
                                   {"options", {{"filename", "song.bin"}}}});
            std::string text = read["data"]["data"];
            ASSERT_TRUE(text == oldText || text == newText);
        });
}

TEST_F(CrashSafetyTest, KilledDownloadsLeaveTheOldOrTheNewFileWhole) {
    LoopbackServer server;
    server.routes().Get(
        R"(/(old|new))", [&](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.matches[1] == "old" ? oldContent : newContent,
                                 "application/octet-stream");
        });
    server.start();
    auto download = [&](int i) {
        return Json{
            {"id", 1},
            {"plugin", "DownloadPlugin"},
            {"method", "downloadFile"},
            {"options", {{"url", server.url(i % 2 ? "/old" : "/new")}, {"fileName", "song.bin"}}}};
    };
    ShellProcess setup(shell());
    ASSERT_EQ(setup.call(download(1))["ok"], true);
    fs::path downloads = fs::path(container) / "Documents/Downloads";
    repeat(download, [&](ShellProcess&) {
        ASSERT_EQ(entries(downloads), std::vector<std::string>{"song.bin"});
        std::string content = readWhole(downloads / "song.bin");
        ASSERT_TRUE(content == oldContent || content == newContent);
        ASSERT_TRUE(entries(fs::path(container) / "tmp").empty());
    });
}

TEST_F(CrashSafetyTest, TheStartUpSweepLeavesEveryNameACallerChoseAndEverythingOutside) {
    LoopbackServer server;
    server.routes().Get("/song", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("song", "audio/mpeg");
    });
    server.start();
    const std::string scratchLike = ".musicshell-write-0123456789ab";
    {
        ShellProcess first(shell());
        ASSERT_EQ(first.call({{"id", 1},
                              {"plugin", "OfflineStoragePlugin"},
                              {"method", "writeFile"},
                              {"options", {{"filename", scratchLike}, {"data", "aGk="}}}})["ok"],
                  true);
        ASSERT_EQ(first.call({{"id", 2},
                              {"plugin", "DownloadPlugin"},
                              {"method", "downloadFile"},
                              {"options",
                               {{"url", server.url("/song")}, {"fileName", scratchLike}}}})["ok"],
                  true);
    }
    // Links to outside folders, where a sweep would once have looked.
    fs::path outside = directory / "outside";
    fs::create_directories(outside);
    for (const std::string& name : {scratchLike, std::string("download-0123456789abcdef.part")}) {
        std::ofstream(outside / name) << "outside";
    }
    fs::path root(container);
    fs::rename(root / "tmp", directory / "old-tmp");
    fs::create_directory_symlink(outside, root / "tmp");
    fs::remove_all(root / "Library/.musicshell-writes");
    fs::create_directory_symlink(outside, root / "Library/.musicshell-writes");

    ShellProcess restarted(shell());
    restarted.call({{"id", "ready"}, {"host", "audioSession"}});
    EXPECT_EQ(readWhole(root / "Library/Application Support/offline" / scratchLike), "hi");
    EXPECT_EQ(readWhole(root / "Documents/Downloads" / scratchLike), "song");
    EXPECT_EQ(entries(outside).size(), 2u);
    EXPECT_EQ(readWhole(outside / scratchLike), "outside");
}

}  // namespace

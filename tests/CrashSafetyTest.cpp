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

constexpr int kills = 200;
// Only bounds a run that has gone wrong; a healthy run takes a few seconds.
constexpr auto deadline = std::chrono::minutes(4);

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

    std::vector<std::string> shell() const { return {"stdio", "--container", container}; }

    // Starts a host, waits until it answers, sends `request` and kills it a moment later.
    void killDuring(const Json& request) {
        ShellProcess host(shell());
        host.call({{"id", "ready"}, {"host", "audioSession"}});
        host.sendJson(request);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        host.signal(SIGKILL);
        host.wait();
    }

    template <class Check>
    void repeat(const std::function<Json(int)>& request, Check check) {
        auto end = std::chrono::steady_clock::now() + deadline;
        int done = 0;
        for (; done < kills && std::chrono::steady_clock::now() < end; ++done) {
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

}  // namespace

#include <gtest/gtest.h>

#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <sstream>
#include <thread>

#include "App/Bridge/CAPPluginClass.h"
#include "App/Download/DownloadPlugin.h"
#include "Eventually.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeFileSystem.h"
#include "Fakes/FakeServices.h"
#include "FileContents.h"
#include "HostileRoutes.h"
#include "LoopbackServer.h"
#include "Platform/Desktop/CommandFileOpener.h"
#include "Platform/Desktop/CurlURLSession.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using Method = void (DownloadPlugin::*)(const CAPPluginCall&);

namespace {

// The plugin on the real curl session and file system, against a loopback server.
class DownloadPluginTest : public testing::Test {
protected:
    void SetUp() override {
        auto& routes = server.routes();
        routes.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
            ++requests;
            return httplib::Server::HandlerResponse::Unhandled;
        });
        routes.Get("/song.mp3", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("song bytes", "audio/mpeg");
        });
        routes.Get("/other", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("other bytes", "application/octet-stream");
        });
        routes.Get("/missing", [](const httplib::Request&, httplib::Response& response) {
            response.status = 404;
            response.set_content("not here", "text/plain");
        });
        routes.Get("/drop", [](const httplib::Request&, httplib::Response& response) {
            // Promises 100000 bytes, sends 10, then hangs up.
            response.set_content_provider(100000, "application/octet-stream",
                                          [](size_t, size_t, httplib::DataSink& sink) {
                                              sink.write("0123456789", 10);
                                              return false;
                                          });
        });
        routes.Get(R"(/status/(\d+))",
                   [](const httplib::Request& request, httplib::Response& response) {
                       response.status = std::stoi(request.matches[1]);
                       response.set_content("status body", "text/plain");
                   });
        routes.Get("/redirect", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/other");
        });
        routes.Get("/to-file", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("file:///etc/hostname");
        });
        routes.Get(R"(/together/(\d+))",
                   [this](const httplib::Request& request, httplib::Response& response) {
                       // Answers only once all five are in flight: downloads one at a time would
                       // stall.
                       std::unique_lock lock(mutex);
                       ++arrived;
                       allArrived.notify_all();
                       bool together = allArrived.wait_for(lock, std::chrono::seconds(20),
                                                           [this] { return arrived >= 5; });
                       response.set_content(together ? "part " + request.matches[1].str() : "alone",
                                            "text/plain");
                   });
        addHostileRoutes(routes);
        server.start();
        ASSERT_FALSE(DesktopFileSystem::install(root));
        makePlugin(std::nullopt);
    }

    void TearDown() override {
        session->stop();
        server.stop();
    }

    void limitSession(CurlURLSession::Limits limits) {
        session->stop();
        session = std::make_shared<CurlURLSession>(root / "tmp", limits);
        makePlugin(std::nullopt);
    }

    void makePlugin(std::optional<std::string> openerCommand) {
        opener = std::make_shared<CommandFileOpener>(std::move(openerCommand), fakes.mainQueue);
        auto services = fakes.services();
        services.fileSystem = files;
        services.urlSession = session;
        services.fileOpener = opener;
        bridge = std::make_shared<FakeBridge>(services);
        plugin = std::static_pointer_cast<DownloadPlugin>(
            createPlugin<DownloadPlugin>(bridge, "DownloadPlugin", "DownloadPlugin"));
    }

    void start(Method method, JSObject options) {
        ((*plugin).*method)(CAPPluginCall("1", "m", std::move(options), bridge));
    }

    // Waits for the next answer, running main-queue work as the main thread would.
    CAPCallResult answer(Method method, JSObject options) {
        std::size_t before = bridge->answers().size();
        start(method, std::move(options));
        EXPECT_TRUE(eventually([&] {
            fakes.mainQueue->runAll();
            return bridge->answers().size() > before;
        }));
        auto answers = bridge->answers();
        EXPECT_EQ(answers.size(), before + 1);
        return answers.back().second;
    }

    CAPCallResult download(JSObject options) {
        return answer(&DownloadPlugin::downloadFile, std::move(options));
    }

    fs::path downloads() const { return root / "Documents/Downloads"; }
    fs::path package() const { return root / "Library/Caches/update.ipa"; }

    TemporaryDirectory directory;
    fs::path root = directory / "c";
    LoopbackServer server;
    std::atomic<int> requests{0};
    std::mutex mutex;
    std::condition_variable allArrived;
    int arrived = 0;
    FakeServices fakes;
    std::shared_ptr<FakeFileSystem> files = std::make_shared<FakeFileSystem>(root);
    std::shared_ptr<CurlURLSession> session = std::make_shared<CurlURLSession>(root / "tmp");
    std::shared_ptr<CommandFileOpener> opener;
    std::shared_ptr<FakeBridge> bridge;
    std::shared_ptr<DownloadPlugin> plugin;
};

TEST_F(DownloadPluginTest, StoresUnderTheDefaultNameAndMakesTheFolderOnFirstUse) {
    ASSERT_FALSE(fs::exists(downloads()));
    auto result = download({{"url", server.url("/song.mp3")}});
    ASSERT_TRUE(result.resolved) << result.message;
    EXPECT_EQ(*result.data, JSObject({{"path", (downloads() / "audio.mp3").string()}}));
    EXPECT_EQ(readWhole(downloads() / "audio.mp3"), "song bytes");
    EXPECT_TRUE(fs::is_empty(root / "tmp")) << "no temporary file is left behind";

    // The same name again replaces the file.
    EXPECT_EQ(download({{"url", server.url("/other")}}).data, result.data);
    EXPECT_EQ(readWhole(downloads() / "audio.mp3"), "other bytes");
}

TEST_F(DownloadPluginTest, RefusesBadArgumentsBeforeAnyRequest) {
    using P = DownloadPlugin;
    const std::vector<std::pair<JSObject, std::string>> cases = {
        {JSObject::object(), "URL is required"},
        {{{"url", ""}}, "URL is required"},
        {{{"url", 42}}, "URL is required"},
        {{{"url", "not a url"}}, "Invalid URL"},
        {{{"url", "http://"}}, "Invalid URL"},
        {{{"url", server.url("/song.mp3")}, {"fileName", ""}}, "Invalid file name"},
        {{{"url", server.url("/song.mp3")}, {"fileName", ".."}}, "Invalid file name"},
        {{{"url", server.url("/song.mp3")}, {"fileName", "../escape.mp3"}}, "Invalid file name"},
        {{{"url", server.url("/song.mp3")}, {"fileName", std::string("a\0b", 3)}},
         "Invalid file name"},
    };
    for (const auto& [options, message] : cases) {
        auto result = download(options);
        EXPECT_FALSE(result.resolved);
        EXPECT_EQ(result.message, message) << options.dump();
    }
    EXPECT_EQ(answer(&P::downloadAndInstall, {{"url", ""}}).message, "URL is required");
    EXPECT_EQ(answer(&P::downloadAndInstall, {{"url", "::"}}).message, "Invalid URL");
    EXPECT_EQ(requests.load(), 0);
    EXPECT_FALSE(fs::exists(root / "Documents/escape.mp3"));
}

TEST_F(DownloadPluginTest, FailuresKeepTheFileThatWasThere) {
    download({{"url", server.url("/song.mp3")}, {"fileName", "keep.mp3"}});
    auto failed = [&](const std::string& url) {
        auto result = download({{"url", url}, {"fileName", "keep.mp3"}});
        EXPECT_FALSE(result.resolved);
        EXPECT_EQ(readWhole(downloads() / "keep.mp3"), "song bytes") << url;
        return result.message;
    };
    EXPECT_EQ(failed(server.url("/missing")), "Download failed: HTTP 404");
    EXPECT_TRUE(failed(server.url("/drop")).starts_with("Download failed: transfer closed with"));
    EXPECT_TRUE(
        failed("http://127.0.0.1:1/song.mp3").starts_with("Download failed: Failed to connect"));
    // Only http and https are spoken, also after a redirect.
    EXPECT_TRUE(failed(server.url("/to-file"))
                    .starts_with("Download failed: Protocol \"file\" not supported"));
    EXPECT_TRUE(failed("file:///etc/hostname")
                    .starts_with("Download failed: Protocol \"file\" not supported"));
    EXPECT_TRUE(
        failed("ftp://127.0.0.1/x").starts_with("Download failed: Protocol \"ftp\" not supported"));

    files->fail(FakeFileSystem::Operation::replace, "Input/output error");
    EXPECT_EQ(failed(server.url("/other")), "Download failed: Input/output error");
    files->heal();
    EXPECT_EQ(fs::directory_iterator(downloads())->path().filename(), "keep.mp3");
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
}

// Only a 2xx answer is stored; a 3xx that is not followed is a failure like a 4xx.
TEST_F(DownloadPluginTest, OnlyASuccessfulStatusIsStored) {
    const std::vector<std::pair<int, std::string>> cases = {
        {200, ""},
        {203, ""},
        {299, ""},
        {300, "Download failed: HTTP 300"},
        {304, "Download failed: HTTP 304"},
        {404, "Download failed: HTTP 404"},
        {500, "Download failed: HTTP 500"},
    };
    for (const auto& [status, message] : cases) {
        std::string name = "s" + std::to_string(status);
        auto result = download(
            {{"url", server.url("/status/" + std::to_string(status))}, {"fileName", name}});
        EXPECT_EQ(result.resolved, message.empty()) << status;
        EXPECT_EQ(result.message, message) << status;
        EXPECT_EQ(fs::exists(downloads() / name), message.empty()) << status;
    }
}

TEST_F(DownloadPluginTest, FollowsRedirectsBetweenWebAddresses) {
    auto result = download({{"url", server.url("/redirect")}, {"fileName", "r"}});
    ASSERT_TRUE(result.resolved) << result.message;
    EXPECT_EQ(readWhole(downloads() / "r"), "other bytes");
}

TEST_F(DownloadPluginTest, SeveralDownloadsRunAtOnce) {
    std::size_t before = bridge->answers().size();
    for (int i = 0; i < 5; ++i) {
        start(&DownloadPlugin::downloadFile, {{"url", server.url("/together/" + std::to_string(i))},
                                              {"fileName", "part" + std::to_string(i)}});
    }
    ASSERT_TRUE(eventually([&] { return bridge->answers().size() == before + 5; }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(readWhole(downloads() / ("part" + std::to_string(i))),
                  "part " + std::to_string(i));
    }
}

TEST_F(DownloadPluginTest, APackageIsStoredThenOpenedWhenTheSystemCan) {
    using P = DownloadPlugin;
    // No opener: the system cannot open it, and the path is the answer. Asking the system is
    // main-queue work, never done on the transfer's thread.
    std::size_t before = bridge->answers().size();
    start(&P::downloadAndInstall, {{"url", server.url("/song.mp3")}});
    ASSERT_TRUE(eventually(
        [&] { return fakes.mainQueue->pending() > 0 || bridge->answers().size() > before; }));
    EXPECT_EQ(bridge->answers().size(), before) << "answered off the main queue";
    ASSERT_TRUE(eventually([&] {
        fakes.mainQueue->runAll();
        return bridge->answers().size() > before;
    }));
    auto unopened = bridge->answers().back().second;
    ASSERT_TRUE(unopened.resolved) << unopened.message;
    EXPECT_EQ(*unopened.data, JSObject({{"path", package().string()}}));
    EXPECT_TRUE(answer(&P::downloadAndInstall, {{"url", server.url("/other")}}).resolved);
    EXPECT_EQ(readWhole(package()), "other bytes");

    makePlugin("true");
    auto opened = answer(&P::downloadAndInstall, {{"url", server.url("/song.mp3")}});
    EXPECT_TRUE(opened.resolved);
    EXPECT_FALSE(opened.data);

    makePlugin("false");
    auto refused = answer(&P::downloadAndInstall, {{"url", server.url("/other")}});
    EXPECT_FALSE(refused.resolved);
    EXPECT_EQ(refused.message, "Failed to open file");
    EXPECT_EQ(readWhole(package()), "other bytes");
}

TEST_F(DownloadPluginTest, TheShellsOwnPackageReplacesWhateverStandsInItsPlace) {
    fs::create_directories(package() / "inner");
    std::ofstream(package() / "inner/file") << "x";
    auto result = answer(&DownloadPlugin::downloadAndInstall, {{"url", server.url("/song.mp3")}});
    ASSERT_TRUE(result.resolved) << result.message;
    EXPECT_EQ(readWhole(package()), "song bytes");

    // A folder in the Downloads folder may be the user's: it stays, and the download is refused.
    fs::create_directories(downloads() / "album");
    auto refused = download({{"url", server.url("/song.mp3")}, {"fileName", "album"}});
    EXPECT_EQ(refused.message, "Download failed: Is a directory");
    EXPECT_TRUE(fs::is_directory(downloads() / "album"));
}

// Links planted in the container never carry a download outside it.
TEST_F(DownloadPluginTest, NoDownloadLandsOutsideTheContainer) {
    fs::path outside = directory / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "secret") << "outside";
    auto plant = [&](const fs::path& at) {
        fs::remove_all(at);
        fs::create_directories(at.parent_path());
        fs::create_directory_symlink(outside, at);
    };
    struct Row {
        fs::path folder;
        Method method;
        std::string answer;
    };
    const std::vector<Row> rows = {
        {downloads(), &DownloadPlugin::downloadFile,
         "Download failed: Documents/Downloads is a symbolic link, not a folder"},
        {root / "Library/Caches", &DownloadPlugin::downloadAndInstall,
         "Download failed: Library/Caches is a symbolic link, not a folder"},
        {root / "tmp", &DownloadPlugin::downloadFile, "Download failed: Not a directory"},
    };
    for (const auto& row : rows) {
        fs::path kept = directory / "kept";
        fs::create_directories(row.folder);
        fs::rename(row.folder, kept);
        plant(row.folder);
        auto result =
            answer(row.method, {{"url", server.url("/song.mp3")}, {"fileName", "secret"}});
        EXPECT_FALSE(result.resolved);
        EXPECT_EQ(result.message, row.answer);
        fs::remove(row.folder);
        fs::rename(kept, row.folder);
    }
    EXPECT_EQ(readWhole(outside / "secret"), "outside");
    // A link standing at the file's own place is replaced, not written through.
    fs::create_directories(downloads());
    fs::create_symlink(outside / "secret", downloads() / "song");
    ASSERT_TRUE(download({{"url", server.url("/song.mp3")}, {"fileName", "song"}}).resolved);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(downloads() / "song")));
    EXPECT_EQ(readWhole(outside / "secret"), "outside");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);
}

// What the container held when a download was answered.
class SnapshotResponder : public CAPCallResponder {
public:
    explicit SnapshotResponder(fs::path root) : root_(std::move(root)) {}

    void respond(const std::string&, CAPCallResult result) override {
        std::lock_guard lock(mutex_);
        message = result.message;
        scratchFiles = std::distance(fs::directory_iterator(root_ / "tmp"), {});
        downloadsFolder = fs::exists(root_ / "Documents/Downloads");
        answered = true;
    }

    std::mutex mutex_;
    bool answered = false;
    std::string message;
    long scratchFiles = 0;
    bool downloadsFolder = false;

private:
    fs::path root_;
};

TEST_F(DownloadPluginTest, AFailedDownloadIsCleanedUpBeforeItIsAnswered) {
    for (const char* path : {"/missing", "/drop"}) {
        auto responder = std::make_shared<SnapshotResponder>(root);
        plugin->downloadFile(CAPPluginCall(
            "1", "downloadFile", {{"url", server.url(path)}, {"fileName", "f"}}, responder));
        ASSERT_TRUE(eventually([&] {
            std::lock_guard lock(responder->mutex_);
            return responder->answered;
        }));
        std::lock_guard lock(responder->mutex_);
        EXPECT_TRUE(responder->message.starts_with("Download failed: ")) << responder->message;
        EXPECT_EQ(responder->scratchFiles, 0) << path;
        EXPECT_FALSE(responder->downloadsFolder) << path;
    }
}

TEST_F(DownloadPluginTest, BodiesBeyondTheLimitsFailAndLeaveNothing) {
    CurlURLSession::Limits limits;
    limits.maxDownloadBytes = 100000;
    limitSession(limits);
    for (const char* path : {"/endless", "/announced"}) {
        auto result = download({{"url", server.url(path)}, {"fileName", "big"}});
        EXPECT_EQ(result.message, "Download failed: Larger than the limit of 100000 bytes") << path;
    }
    EXPECT_TRUE(download({{"url", server.url("/song.mp3")}, {"fileName", "small"}}).resolved);
    EXPECT_EQ(readWhole(downloads() / "small"), "song bytes");
    EXPECT_FALSE(fs::exists(downloads() / "big"));
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
}

TEST_F(DownloadPluginTest, ATransferThatCrawlsFails) {
    CurlURLSession::Limits limits;
    limits.stallWindow = std::chrono::seconds(1);
    limitSession(limits);
    EXPECT_EQ(download({{"url", server.url("/trickle")}}).message,
              "Download failed: Operation too slow. Less than 1024 bytes/sec transferred the last "
              "1 seconds");
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
}

// Client connections to `port` that hold a socket, idle ones a cache keeps included.
int connectionsTo(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    int count = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        bool established = state == "01", closeWait = state == "08";
        if (std::stoi(remote.substr(remote.find(':') + 1), nullptr, 16) == port &&
            (established || closeWait)) {
            ++count;
        }
    }
    return count;
}

TEST_F(DownloadPluginTest, ABurstRunsAFewAtATimeOverFewConnections) {
    constexpr int bound = CurlURLSession::maxRunningTransfers;
    std::mutex gateMutex;
    std::condition_variable changed;
    int inFlight = 0;
    int most = 0;
    bool open = false;
    LoopbackServer gate;
    // Room for every connection of the burst, kept open between requests as real servers do.
    gate.routes().new_task_queue = [] { return new httplib::ThreadPool(40); };
    gate.routes().set_keep_alive_max_count(100);
    gate.routes().set_keep_alive_timeout(1);
    gate.routes().Get("/gated", [&](const httplib::Request&, httplib::Response& response) {
        std::unique_lock lock(gateMutex);
        most = std::max(most, ++inFlight);
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return open; });
        --inFlight;
        response.set_content("gated", "text/plain");
    });
    gate.start();

    constexpr int burst = 3 * bound;
    std::size_t before = bridge->answers().size();
    for (int i = 0; i < burst; ++i) {
        start(&DownloadPlugin::downloadFile,
              {{"url", gate.url("/gated")}, {"fileName", "b" + std::to_string(i)}});
    }
    {
        std::unique_lock lock(gateMutex);
        ASSERT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return inFlight >= bound; }));
        open = true;
    }
    changed.notify_all();
    ASSERT_TRUE(eventually([&] { return bridge->answers().size() == before + burst; }));
    for (const auto& [id, result] : bridge->answers()) {
        EXPECT_TRUE(result.resolved) << result.message;
    }
    EXPECT_EQ(most, bound);
    EXPECT_LE(connectionsTo(gate.port()), bound);
}

int threadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("Threads:")) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

// Live child processes of this process.
int childProcesses() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        auto close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(close + 2));
        char state = 0;
        int parent = 0;
        rest >> state >> parent;
        count += parent == ::getpid() && state != 'Z';
    }
    return count;
}

TEST(CommandFileOpenerTest, RunsAFewCommandsAtATimeFromOneThread) {
    TemporaryDirectory directory;
    // Marks its file started, then waits for the release.
    fs::path script = directory / "opener";
    std::ofstream(script) << "#!/bin/sh\ntouch \"$1.started\"\nwhile [ ! -e '"
                          << (directory / "release").string() << "' ]; do sleep 0.02; done\n";
    fs::permissions(script, fs::perms::owner_all);
    auto started = [&] {
        return std::count_if(fs::directory_iterator(directory.path()), {}, [](const auto& entry) {
            return entry.path().extension() == ".started";
        });
    };

    FakeServices fakes;
    // A sanitizer's runtime starts a thread of its own along with the process's first one.
    std::thread([] {}).join();
    int threadsBefore = threadCount();
    CommandFileOpener opener(script.string(), fakes.mainQueue);
    constexpr int requests = 30;
    int opened = 0;
    for (int i = 0; i < requests; ++i) {
        opener.open(directory / std::to_string(i), [&](bool success) { opened += success; });
    }
    EXPECT_LE(threadCount() - threadsBefore, 1);
    ASSERT_TRUE(eventually([&] { return started() == CommandFileOpener::maxRunning; }));
    EXPECT_EQ(childProcesses(), CommandFileOpener::maxRunning);

    std::ofstream(directory / "release");
    ASSERT_TRUE(eventually([&] {
        fakes.mainQueue->runAll();
        return opened == requests;
    }));
    EXPECT_EQ(started(), requests);
}

}  // namespace

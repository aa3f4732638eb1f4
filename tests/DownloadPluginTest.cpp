#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "App/Bridge/CAPPluginClass.h"
#include "App/Download/DownloadPlugin.h"
#include "Eventually.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeFileSystem.h"
#include "Fakes/FakeServices.h"
#include "FileContents.h"
#include "LoopbackServer.h"
#include "Platform/Desktop/CommandFileOpener.h"
#include "Platform/Desktop/CurlURLSession.h"
#include "TcpSockets.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using Method = void (DownloadPlugin::*)(const CAPPluginCall&);

namespace {

// An answer, with what the container held and which thread gave it at that moment.
struct Answer {
    CAPCallResult result;
    long scratchFiles = 0;
    bool downloadsFolder = false;
    bool onTestThread = false;
};

class AnswerRecorder : public CAPCallResponder {
public:
    explicit AnswerRecorder(fs::path root) : root_(std::move(root)) {}

    void respond(const std::string&, CAPCallResult result) override {
        std::error_code missing;
        Answer answer{
            std::move(result), std::distance(fs::directory_iterator(root_ / "tmp", missing), {}),
            fs::exists(root_ / "Documents/Downloads"), std::this_thread::get_id() == testThread_};
        std::lock_guard lock(mutex_);
        answers_.push_back(std::move(answer));
    }

    std::vector<Answer> answers() const {
        std::lock_guard lock(mutex_);
        return answers_;
    }

private:
    fs::path root_;
    std::thread::id testThread_ = std::this_thread::get_id();
    mutable std::mutex mutex_;
    std::vector<Answer> answers_;
};

// The plugin on the real curl session and file system, against a loopback server. The test's
// thread runs the main queue.
class DownloadPluginTest : public testing::Test {
protected:
    void SetUp() override {
        auto& routes = server.routes();
        routes.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
            ++requests;
            return httplib::Server::HandlerResponse::Unhandled;
        });
        // "/STATUS/BODY" answers with that status and body.
        routes.Get(R"(/(\d+)/(\w*))",
                   [](const httplib::Request& request, httplib::Response& response) {
                       response.status = std::stoi(request.matches[1]);
                       response.set_content(request.matches[2].str(), "text/plain");
                   });
        routes.Get("/drop", [](const httplib::Request&, httplib::Response& response) {
            // Promises 100000 bytes, sends 10, then hangs up.
            response.set_content_provider(100000, "application/octet-stream",
                                          [](size_t, size_t, httplib::DataSink& sink) {
                                              sink.write("0123456789", 10);
                                              return false;
                                          });
        });
        routes.Get(R"(/bytes/(\d+))",
                   [](const httplib::Request& request, httplib::Response& response) {
                       response.set_content(std::string(std::stoul(request.matches[1]), 'x'),
                                            "application/octet-stream");
                   });
        routes.Get("/redirect", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/200/other");
        });
        routes.Get("/to-file", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("file:///etc/hostname");
        });
        server.start();
        ASSERT_FALSE(DesktopFileSystem::install(root));
        makePlugin(std::nullopt);
    }

    void TearDown() override {
        session->stop();
        server.stop();
    }

    void makePlugin(std::optional<std::string> openerCommand) {
        auto services = fakes.services();
        services.fileSystem = files;
        services.urlSession = session;
        services.fileOpener =
            std::make_shared<CommandFileOpener>(std::move(openerCommand), fakes.mainQueue);
        bridge = std::make_shared<FakeBridge>(services);
        plugin = std::static_pointer_cast<DownloadPlugin>(
            createPlugin<DownloadPlugin>(bridge, "DownloadPlugin", "DownloadPlugin"));
    }

    void start(Method method, JSObject options) {
        ((*plugin).*method)(CAPPluginCall("1", "m", std::move(options), recorder));
    }

    bool answeredAll(std::size_t count) {
        return eventually([&] {
            fakes.mainQueue->runAll();
            return recorder->answers().size() >= count;
        });
    }

    Answer answer(Method method, JSObject options) {
        std::size_t before = recorder->answers().size();
        start(method, std::move(options));
        EXPECT_TRUE(answeredAll(before + 1));
        auto answers = recorder->answers();
        EXPECT_EQ(answers.size(), before + 1);
        return answers.back();
    }

    CAPCallResult download(JSObject options) {
        return answer(&DownloadPlugin::downloadFile, std::move(options)).result;
    }

    platform::DataTaskResult fetch(const std::string& url) {
        std::promise<platform::DataTaskResult> done;
        session->dataTask(url, [&](platform::DataTaskResult result) { done.set_value(result); });
        auto finished = done.get_future();
        EXPECT_EQ(finished.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        return finished.get();
    }

    fs::path downloads() const { return root / "Documents/Downloads"; }
    fs::path package() const { return root / "Library/Caches/update.ipa"; }

    TemporaryDirectory directory;
    fs::path root = directory / "c";
    LoopbackServer server;
    std::atomic<int> requests{0};
    FakeServices fakes;
    std::shared_ptr<FakeFileSystem> files = std::make_shared<FakeFileSystem>(root);
    std::shared_ptr<CurlURLSession> session = std::make_shared<CurlURLSession>(root / "tmp");
    std::shared_ptr<AnswerRecorder> recorder = std::make_shared<AnswerRecorder>(root);
    std::shared_ptr<FakeBridge> bridge;
    std::shared_ptr<DownloadPlugin> plugin;
};

TEST_F(DownloadPluginTest, StoresEverySuccessAndReplacesUnderTheSameName) {
    auto first = download({{"url", server.url("/200/song")}});
    ASSERT_TRUE(first.resolved) << first.message;
    EXPECT_EQ(*first.data, JSObject({{"path", (downloads() / "audio.mp3").string()}}));
    EXPECT_EQ(readWhole(downloads() / "audio.mp3"), "song");
    // Redirects between web addresses are followed.
    EXPECT_EQ(download({{"url", server.url("/redirect")}}).data, first.data);
    EXPECT_EQ(readWhole(downloads() / "audio.mp3"), "other");
    for (std::string status : {"200", "203", "299"}) {
        EXPECT_TRUE(
            download({{"url", server.url("/" + status + "/body")}, {"fileName", status}}).resolved);
        EXPECT_EQ(readWhole(downloads() / status), "body");
    }
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
}

TEST_F(DownloadPluginTest, RefusesBadArgumentsBeforeAnyRequest) {
    const std::string song = server.url("/200/song");
    const Method file = &DownloadPlugin::downloadFile,
                 install = &DownloadPlugin::downloadAndInstall;
    const std::vector<std::tuple<Method, JSObject, std::string>> cases = {
        {file, JSObject::object(), "URL is required"},
        {file, {{"url", ""}}, "URL is required"},
        {file, {{"url", 42}}, "URL is required"},
        {file, {{"url", "not a url"}}, "Invalid URL"},
        {file, {{"url", "http://"}}, "Invalid URL"},
        {file, {{"url", song}, {"fileName", ""}}, "Invalid file name"},
        {file, {{"url", song}, {"fileName", ".."}}, "Invalid file name"},
        {file, {{"url", song}, {"fileName", "../escape.mp3"}}, "Invalid file name"},
        {file, {{"url", song}, {"fileName", std::string("a\0b", 3)}}, "Invalid file name"},
        {install, {{"url", ""}}, "URL is required"},
        {install, {{"url", "::"}}, "Invalid URL"},
    };
    for (const auto& [method, options, message] : cases) {
        EXPECT_EQ(answer(method, options).result.message, message) << options.dump();
    }
    EXPECT_EQ(requests.load(), 0);
    EXPECT_FALSE(fs::exists(root / "Documents/escape.mp3"));
}

// Only a 2xx answer is stored; a 3xx that is not followed fails like a 4xx. A failure is cleaned
// up before it is answered, makes no Downloads folder, and keeps the file that was there.
TEST_F(DownloadPluginTest, FailuresLeaveNothingAndKeepTheFileThatWasThere) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {server.url("/300/x"), "Download failed: HTTP 300"},
        {server.url("/304/x"), "Download failed: HTTP 304"},
        {server.url("/404/x"), "Download failed: HTTP 404"},
        {server.url("/500/x"), "Download failed: HTTP 500"},
        {server.url("/drop"), "Download failed: transfer closed with"},
        {"http://127.0.0.1:1/song.mp3", "Download failed: Failed to connect"},
        // Only http and https are spoken, also after a redirect.
        {server.url("/to-file"), "Download failed: Protocol \"file\" not supported"},
        {"file:///etc/hostname", "Download failed: Protocol \"file\" not supported"},
        {"ftp://127.0.0.1/x", "Download failed: Protocol \"ftp\" not supported"},
    };
    for (bool stored : {false, true}) {
        if (stored) {
            ASSERT_TRUE(
                download({{"url", server.url("/200/song")}, {"fileName", "keep"}}).resolved);
        }
        for (const auto& [url, message] : cases) {
            SCOPED_TRACE(url);
            auto failed =
                answer(&DownloadPlugin::downloadFile, {{"url", url}, {"fileName", "keep"}});
            EXPECT_FALSE(failed.result.resolved);
            EXPECT_EQ(failed.result.message.substr(0, message.size()), message);
            EXPECT_EQ(failed.scratchFiles, 0);
            EXPECT_EQ(failed.downloadsFolder, stored);
        }
    }
    files->fail(FakeFileSystem::Operation::replace, "Input/output error");
    EXPECT_EQ(download({{"url", server.url("/200/other")}, {"fileName", "keep"}}).message,
              "Download failed: Input/output error");
    files->heal();
    EXPECT_EQ(readWhole(downloads() / "keep"), "song");
    EXPECT_EQ(std::distance(fs::directory_iterator(downloads()), {}), 1);
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
}

// The package is stored, then the system is asked to open it: main-queue work, never done on the
// transfer's thread. With no opener the path is the answer.
TEST_F(DownloadPluginTest, APackageIsStoredThenOpenedWhenTheSystemCan) {
    struct Case {
        std::optional<std::string> opener;
        std::string path;
        std::optional<JSObject> data;
        std::string message;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "/200/song", JSObject({{"path", package().string()}}), ""},
        {"true", "/200/other", std::nullopt, ""},
        {"false", "/200/song", std::nullopt, "Failed to open file"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.opener.value_or("none"));
        makePlugin(each.opener);
        auto answered =
            answer(&DownloadPlugin::downloadAndInstall, {{"url", server.url(each.path)}});
        EXPECT_TRUE(answered.onTestThread);
        EXPECT_EQ(answered.result.resolved, each.message.empty());
        EXPECT_EQ(answered.result.message, each.message);
        EXPECT_EQ(answered.result.data, each.data);
        EXPECT_EQ(readWhole(package()), each.path == "/200/other" ? "other" : "song");
    }
}

TEST_F(DownloadPluginTest, TheShellsOwnPackageReplacesWhateverStandsInItsPlace) {
    fs::create_directories(package() / "inner");
    std::ofstream(package() / "inner/file") << "x";
    auto result = answer(&DownloadPlugin::downloadAndInstall, {{"url", server.url("/200/song")}});
    ASSERT_TRUE(result.result.resolved) << result.result.message;
    EXPECT_EQ(readWhole(package()), "song");

    // A folder in the Downloads folder may be the user's: it stays, and the download is refused.
    fs::create_directories(downloads() / "album");
    auto refused = download({{"url", server.url("/200/song")}, {"fileName", "album"}});
    EXPECT_EQ(refused.message, "Download failed: Is a directory");
    EXPECT_TRUE(fs::is_directory(downloads() / "album"));
}

// Links planted in the container never carry a download outside it.
TEST_F(DownloadPluginTest, NoDownloadLandsOutsideTheContainer) {
    fs::path outside = directory / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "secret") << "outside";
    const std::vector<std::tuple<fs::path, Method, std::string>> cases = {
        {downloads(), &DownloadPlugin::downloadFile,
         "Download failed: Documents/Downloads is a symbolic link, not a folder"},
        {root / "Library/Caches", &DownloadPlugin::downloadAndInstall,
         "Download failed: Library/Caches is a symbolic link, not a folder"},
        {root / "tmp", &DownloadPlugin::downloadFile, "Download failed: Not a directory"},
    };
    for (const auto& [folder, method, message] : cases) {
        fs::create_directories(folder);
        fs::rename(folder, directory / "kept");
        fs::create_directory_symlink(outside, folder);
        auto result = answer(method, {{"url", server.url("/200/song")}, {"fileName", "secret"}});
        EXPECT_EQ(result.result.message, message);
        fs::remove(folder);
        fs::rename(directory / "kept", folder);
    }
    // A link standing at the file's own place is replaced, not written through.
    fs::create_symlink(outside / "secret", downloads() / "song");
    ASSERT_TRUE(download({{"url", server.url("/200/song")}, {"fileName", "song"}}).resolved);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(downloads() / "song")));
    EXPECT_EQ(readWhole(outside / "secret"), "outside");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), {}), 1);
}

// What a data task keeps in memory is bounded to the byte.
TEST_F(DownloadPluginTest, DataTasksKeepBodiesUpToTheirLimitAndNoMore) {
    for (std::size_t size : {CurlURLSession::maxDataBytes, CurlURLSession::maxDataBytes + 1}) {
        auto result = fetch(server.url("/bytes/" + std::to_string(size)));
        bool fits = size == CurlURLSession::maxDataBytes;
        EXPECT_EQ(result.data ? result.data->size() : 0, fits ? size : 0);
        EXPECT_EQ(result.error ? result.error->description : "", fits ? "" : "Response too large");
    }
}

// Without libcurl nothing is fetched: each transfer fails saying why, on the session's thread like
// any other completion.
TEST_F(DownloadPluginTest, WithoutTheHttpLibraryEveryTransferFailsSayingWhy) {
    session = std::make_shared<CurlURLSession>(root / "tmp", CurlURLSession::Limits{},
                                               "libcurl-missing.so.4");
    makePlugin(std::nullopt);
    const std::string why =
        "Cannot load libcurl: libcurl-missing.so.4: cannot open shared "
        "object file: No such file or directory";
    for (Method method : {&DownloadPlugin::downloadFile, &DownloadPlugin::downloadAndInstall}) {
        auto failed = answer(method, {{"url", server.url("/200/song")}});
        EXPECT_EQ(failed.result.message, "Download failed: " + why);
        EXPECT_FALSE(failed.onTestThread);
    }
    auto artwork = fetch(server.url("/200/art"));
    EXPECT_EQ(artwork.error ? artwork.error->description : "", why);
    EXPECT_EQ(requests.load(), 0);
    EXPECT_TRUE(fs::is_empty(root / "tmp"));
}

TEST_F(DownloadPluginTest, ABurstRunsAFewAtATimeOverFewConnections) {
    constexpr int bound = CurlURLSession::maxRunningTransfers;
    std::mutex mutex;
    std::condition_variable changed;
    int inFlight = 0, most = 0;
    bool open = false;
    LoopbackServer gate;
    // Room for every connection of the burst, kept open between requests as real servers do.
    gate.routes().new_task_queue = [] { return new httplib::ThreadPool(40); };
    gate.routes().set_keep_alive_max_count(100);
    gate.routes().set_keep_alive_timeout(1);
    gate.routes().Get("/gated", [&](const httplib::Request&, httplib::Response& response) {
        std::unique_lock lock(mutex);
        most = std::max(most, ++inFlight);
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return open; });
        --inFlight;
        response.set_content("gated", "text/plain");
    });
    gate.start();

    constexpr int burst = 3 * bound;
    for (int i = 0; i < burst; ++i) {
        start(&DownloadPlugin::downloadFile,
              {{"url", gate.url("/gated")}, {"fileName", "b" + std::to_string(i)}});
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return inFlight >= bound; }));
        open = true;
    }
    changed.notify_all();
    ASSERT_TRUE(answeredAll(burst));
    for (const auto& each : recorder->answers()) {
        EXPECT_TRUE(each.result.resolved) << each.result.message;
    }
    EXPECT_EQ(most, bound);
    // Connections that hold a socket, idle ones a cache keeps included.
    EXPECT_LE(std::ranges::count_if(tcpSockets(),
                                    [&](const TcpSocket& socket) {
                                        return socket.remotePort == gate.port() &&
                                               (socket.state == "01" || socket.state == "08");
                                    }),
              bound);
}

int threadCount() {
    return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/task"), {}));
}

// Child processes of this process, as its threads list them.
int childProcesses() {
    int count = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream children(task.path() / "children");
        count += static_cast<int>(std::distance(std::istream_iterator<int>(children), {}));
    }
    return count;
}

TEST(CommandFileOpenerTest, RunsAFewCommandsAtATimeFromOneThread) {
    TemporaryDirectory directory;
    // Marks its file started, notes the signals it ignores, then waits for the release.
    fs::path script = directory / "opener";
    std::ofstream(script) << "#!/bin/sh\ngrep SigIgn /proc/$$/status > \"$1.signals\"\n"
                             "touch \"$1.started\"\nwhile [ ! -e '"
                          << (directory / "release").string() << "' ]; do sleep 0.02; done\n";
    fs::permissions(script, fs::perms::owner_all);
    auto started = [&] {
        return std::count_if(fs::directory_iterator(directory.path()), {}, [](const auto& entry) {
            return entry.path().extension() == ".started";
        });
    };

    // As in the host; the commands must start with it back at its default.
    std::signal(SIGPIPE, SIG_IGN);

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
    std::string noted = readWhole(directory / "7.signals");
    auto ignored = std::stoull(noted.substr(noted.find(':') + 1), nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0U) << noted;
    std::signal(SIGPIPE, SIG_DFL);
}

}  // namespace

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "App/Bridge/CAPPluginClass.h"
#include "App/Download/DownloadPlugin.h"
#include "Eventually.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeServices.h"
#include "FileContents.h"
#include "LoopbackServer.h"
#include "Platform/Desktop/CommandFileOpener.h"
#include "Platform/Desktop/CurlURLSession.h"
#include "Platform/Desktop/DesktopFileSystem.h"
#include "TcpSockets.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using Method = void (DownloadPlugin::*)(const CAPPluginCall&);
constexpr Method file = &DownloadPlugin::downloadFile,
                 install = &DownloadPlugin::downloadAndInstall,
                 cancel = &DownloadPlugin::cancelDownload, list = &DownloadPlugin::listDownloads,
                 erase = &DownloadPlugin::deleteDownload;

namespace {

// An answer, with what the container held and which thread gave it at that moment.
struct Answer {
    CAPCallResult result;
    std::size_t scratchFiles;
    bool downloadsFolder, onTestThread;
};

struct AnswerRecorder : CAPCallResponder {
    explicit AnswerRecorder(fs::path container) : root(std::move(container)) {}
    void respond(const std::string&, CAPCallResult result) override {
        std::lock_guard lock(mutex);
        all.push_back({std::move(result), entries(root / "tmp").size(),
                       fs::exists(root / "Documents/Downloads"),
                       std::this_thread::get_id() == testThread});
    }
    std::vector<Answer> answers() const {
        std::lock_guard lock(mutex);
        return all;
    }
    fs::path root;
    std::thread::id testThread = std::this_thread::get_id();
    mutable std::mutex mutex;
    std::vector<Answer> all;
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
        // "/STATUS/BODY" answers with that status and body, "/bytes/N" with N bytes.
        routes.Get(R"(/(\d+)/(\w*))",
                   [](const httplib::Request& request, httplib::Response& response) {
                       response.status = std::stoi(request.matches[1]);
                       response.set_content(request.matches[2].str(), "text/plain");
                   });
        routes.Get(R"(/bytes/(\d+))", [](const httplib::Request& request,
                                         httplib::Response& response) {
            response.set_content(std::string(std::stoul(request.matches[1]), 'x'), "text/plain");
        });
        routes.Get("/redirect", [](const httplib::Request& request, httplib::Response& response) {
            response.set_redirect(request.get_param_value("to"));
        });
        ranged.serve(routes, "/ranged");
        server.start();
        ASSERT_FALSE(DesktopFileSystem::install(root));
        makePlugin(std::nullopt);
    }

    void TearDown() override {
        ranged.open();
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
        EXPECT_EQ(recorder->answers().size(), before + 1);
        return recorder->answers().back();
    }

    // The answer of a method that answers before it returns.
    CAPCallResult now(Method method, JSObject options = JSObject::object()) {
        auto answers = std::make_shared<AnswerRecorder>(root);
        ((*plugin).*method)(CAPPluginCall("now", "m", std::move(options), answers));
        EXPECT_EQ(answers->answers().size(), 1u);
        return answers->answers().at(0).result;
    }

    CAPCallResult download(const std::string& path, const std::string& name = "audio.mp3") {
        return answer(file, {{"url", server.url(path)}, {"fileName", name}}).result;
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
    RangedBody ranged;
    LoopbackServer server;
    std::shared_ptr<FakeBridge> bridge;
    std::atomic<int> requests{0};
    FakeServices fakes;
    std::shared_ptr<DesktopFileSystem> files = std::make_shared<DesktopFileSystem>(root);
    std::shared_ptr<CurlURLSession> session = std::make_shared<CurlURLSession>(root / "tmp");
    std::shared_ptr<AnswerRecorder> recorder = std::make_shared<AnswerRecorder>(root);
    std::shared_ptr<DownloadPlugin> plugin;
};

TEST_F(DownloadPluginTest, RefusesBadArgumentsBeforeAnyRequest) {
    const std::string song = server.url("/200/song");
    const std::vector<std::tuple<Method, JSObject, std::string>> cases = {
        {file, JSObject::object(), "URL is required"},
        {file, {{"url", ""}}, "URL is required"},
        {file, {{"url", 42}}, "URL is required"},
        {file, {{"url", "not a url"}}, "Invalid URL"},
        {file, {{"url", "http://"}}, "Invalid URL"},
        {file, {{"url", song}, {"fileName", ""}}, "Invalid file name"},
        {file, {{"url", song}, {"fileName", "../escape.mp3"}}, "Invalid file name"},
        {install, {{"url", ""}}, "URL is required"},
        {install, {{"url", "::"}}, "Invalid URL"},
        {cancel, JSObject::object(), "fileName required"},
        {erase, {{"fileName", 7}}, "fileName required"},
        {erase, {{"fileName", "../escape.mp3"}}, "Invalid filename"},
    };
    for (const auto& [method, options, message] : cases) {
        EXPECT_EQ(answer(method, options).result.message, message) << options.dump();
    }
    EXPECT_EQ(requests.load(), 0);
}

// A 3xx that is not followed fails like a 4xx, and a failure is cleaned up before its answer.
TEST_F(DownloadPluginTest, SuccessesReplaceTheFileAndFailuresLeaveNothing) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {server.url("/300/x"), "Download failed: HTTP 300"},
        {server.url("/304/x"), "Download failed: HTTP 304"},
        {server.url("/404/x"), "Download failed: HTTP 404"},
        {"http://127.0.0.1:1/song.mp3", "Download failed: Failed to connect"},
        // Only http and https are spoken, also after a redirect.
        {server.url("/redirect?to=file:///etc/hostname"),
         "Download failed: Protocol \"file\" not supported"},
        {"file:///etc/hostname", "Download failed: Protocol \"file\" not supported"},
    };
    for (bool stored : {false, true}) {
        ASSERT_TRUE(!stored || download("/200/song", "keep").resolved);
        for (const auto& [url, message] : cases) {
            auto failed = answer(file, {{"url", url}, {"fileName", "keep"}});
            EXPECT_EQ(failed.result.message.substr(0, message.size()), message);
            EXPECT_EQ(
                std::tuple(failed.result.resolved, failed.scratchFiles, failed.downloadsFolder),
                std::tuple(false, 0u, stored))
                << url;
        }
    }
    auto first = answer(file, {{"url", server.url("/200/song")}}).result;
    EXPECT_EQ(first.data, JSObject({{"path", (downloads() / "audio.mp3").string()}}))
        << first.message;
    // Redirects between web addresses are followed.
    EXPECT_EQ(download("/redirect?to=/200/other").data, first.data);
    EXPECT_EQ(readWhole(downloads() / "audio.mp3"), "other");
    EXPECT_TRUE(download("/299/body", "299").resolved);
    EXPECT_EQ(readWhole(downloads() / "299"), "body");
    // A folder in the Downloads folder may be the user's: it stays, and the download is refused.
    fs::create_directories(downloads() / "album");
    EXPECT_EQ(download("/200/song", "album").message, "Download failed: Is a directory");
    EXPECT_TRUE(fs::is_directory(downloads() / "album"));
    EXPECT_EQ(readWhole(downloads() / "keep"), "song");
    EXPECT_EQ(entries(downloads()).size(), 4u);
    EXPECT_TRUE(entries(root / "tmp").empty());
}

// The package replaces whatever stands in its place, then the system is asked to open it:
// main-queue work, never done on the transfer's thread. With no opener the path is the answer.
TEST_F(DownloadPluginTest, APackageIsStoredThenOpenedWhenTheSystemCan) {
    fs::create_directories(package() / "inner");
    std::ofstream(package() / "inner/file") << "x";
    const std::vector<std::tuple<std::optional<std::string>, std::string, CAPCallResult>> cases = {
        {std::nullopt, "song", {true, JSObject({{"path", package().string()}}), ""}},
        {"true", "other", {true, std::nullopt, ""}},
        {"false", "song", {false, std::nullopt, "Failed to open file"}},
    };
    for (const auto& [opener, body, expected] : cases) {
        makePlugin(opener);
        auto answered = answer(install, {{"url", server.url("/200/" + body)}});
        EXPECT_TRUE(answered.onTestThread);
        EXPECT_EQ(std::tie(answered.result.resolved, answered.result.message, answered.result.data),
                  std::tie(expected.resolved, expected.message, expected.data))
            << opener.value_or("no opener");
        EXPECT_EQ(readWhole(package()), body);
    }
}

// Links planted in the container never carry a download outside it.
TEST_F(DownloadPluginTest, NoDownloadLandsOutsideTheContainer) {
    fs::path outside = directory / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "secret") << "outside";
    const std::vector<std::tuple<fs::path, Method, std::string>> cases = {
        {downloads(), file,
         "Download failed: Documents/Downloads is a symbolic link, not a folder"},
        {root / "Library/Caches", install,
         "Download failed: Library/Caches is a symbolic link, not a folder"},
        {root / "tmp", file, "Download failed: Not a directory"},
        {downloads(), list, "Documents/Downloads is a symbolic link, not a folder"},
        {downloads(), erase, "Documents/Downloads is a symbolic link, not a folder"},
    };
    for (const auto& [folder, method, message] : cases) {
        fs::create_directories(folder);
        fs::rename(folder, directory / "kept");
        fs::create_directory_symlink(outside, folder);
        EXPECT_EQ(answer(method, {{"url", server.url("/200/song")}, {"fileName", "secret"}})
                      .result.message,
                  message);
        fs::remove(folder);
        fs::rename(directory / "kept", folder);
    }
    // A link standing at the file's own place is replaced, not written through.
    fs::create_symlink(outside / "secret", downloads() / "song");
    ASSERT_TRUE(download("/200/song", "song").resolved);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(downloads() / "song")));
    EXPECT_EQ(readWhole(outside / "secret"), "outside");
    EXPECT_EQ(entries(outside).size(), 1u);
}

// Events start with the body, only grow and end at its size before the answer; "total" is null
// when no length was announced. Held half-way, the first must already have come.
TEST_F(DownloadPluginTest, ProgressIsToldFromTheBodysStartToItsEnd) {
    ranged.holdAt = ranged.size / 2;
    const std::map<std::string, std::string> urls = {{"sized", server.url("/ranged")},
                                                     {"unsized", server.url("/ranged?chunked")}};
    // The "received" of each event of a download so far, checking what each says.
    auto progress = [&](const std::string& name) {
        std::vector<std::uint64_t> received;
        for (const auto& [sender, event, data] : bridge->events()) {
            if (data["fileName"] == name) {
                EXPECT_EQ(std::tie(event, data["event"], data["url"], data["total"]),
                          std::tuple("downloadProgress", "downloadProgress", urls.at(name),
                                     name == "sized" ? JSObject(ranged.size) : JSObject(nullptr)));
                received.push_back(data["received"]);
            }
        }
        return received;
    };
    for (const auto& [name, url] : urls) {
        start(file, {{"url", url}, {"fileName", name}});
        EXPECT_TRUE(eventually([&] { return !progress(name).empty(); }));
    }
    ranged.open();
    ASSERT_TRUE(answeredAll(2));
    for (const auto& [name, url] : urls) {
        auto told = progress(name);
        EXPECT_TRUE(std::ranges::is_sorted(told));
        EXPECT_EQ(told.back(), ranged.size);
        EXPECT_LE(told.front(), ranged.holdAt);
        EXPECT_EQ(readWhole(downloads() / name), ranged.bytes(0));
    }
}

// A body cut off part-way goes on where it stopped, with a range its first ETag guards; a server
// that ignores the range, or whose body has changed, is read again from the start. A try that
// brings nothing new, or the fourth cut, ends it with the cut's own message.
TEST_F(DownloadPluginTest, ACutOffBodyGoesOnWhereItStopped) {
    using Request = std::pair<std::string, std::string>;  // its Range and If-Range
    auto from = [&](double share) {
        return Request("bytes=" + std::to_string(std::size_t(ranged.size * share)) + "-", "\"v0\"");
    };
    const Request whole;
    const std::string cut = "Download failed: transfer closed with";
    const std::vector<
        std::tuple<std::vector<double>, bool, bool, std::vector<Request>, std::string>>
        cases = {
            {{0.5}, true, false, {whole, from(0.5)}, ""},
            {{0.9}, true, false, {whole, from(0.9)}, ""},
            {{0.5, 0.7}, true, false, {whole, from(0.5), from(0.7)}, ""},
            {{0.5}, false, false, {whole, from(0.5)}, ""},
            {{0.5}, true, true, {whole, from(0.5)}, ""},
            {{0.5, 0.5}, true, false, {whole, from(0.5)}, cut},
            {{0.2, 0.4, 0.6, 0.8}, true, false, {whole, from(0.2), from(0.4), from(0.6)}, cut},
        };
    for (const auto& [cuts, ranges, newTag, seen, message] : cases) {
        std::unique_lock lock(ranged.mutex);
        std::tie(ranged.cuts, ranged.ranges, ranged.newTagEachRequest) =
            std::tie(cuts, ranges, newTag);
        ranged.seen.clear();
        lock.unlock();
        auto answered = download("/ranged", "song");
        lock.lock();
        EXPECT_EQ(answered.message.substr(0, message.size()), message);
        EXPECT_EQ(ranged.seen, seen) << cuts.size();
        EXPECT_EQ(fs::exists(downloads() / "song") ? readWhole(downloads() / "song") : "",
                  message.empty() ? ranged.bytes(newTag ? 1 : 0) : "");
        EXPECT_TRUE(fs::is_empty(root / "tmp"));
        fs::remove_all(downloads());
    }
}

// Cancelling ends every unanswered call to a name, running or waiting its turn: each is
// rejected, nothing of it stays, and the file that was there is kept.
TEST_F(DownloadPluginTest, CancellingEndsEveryCallToTheNameListingAndDeletingTakeWhatIsThere) {
    EXPECT_EQ(now(list).data,
              JSObject({{"files", JSObject::array()}, {"active", JSObject::array()}}));
    EXPECT_FALSE(fs::exists(downloads()));
    ASSERT_TRUE(download("/200/old", "song").resolved);
    ranged.holdAt = ranged.size / 2;
    constexpr int running = CurlURLSession::maxRunningTransfers;
    for (int i = 0; i < running; ++i) {
        start(file, {{"url", server.url("/ranged")}, {"fileName", "song"}});
    }
    start(install, {{"url", server.url("/ranged")}});
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(ranged.mutex);
        return ranged.seen.size() == running;
    }));
    auto active = now(list).data.value()["active"];
    ASSERT_EQ(active.size(), running + 1);
    EXPECT_EQ(active.back(), JSObject({{"url", server.url("/ranged")},
                                       {"fileName", "update.ipa"},
                                       {"received", 0},
                                       {"total", nullptr}}));
    for (const auto& [name, count] : {std::pair("update.ipa", 1), {"song", running}, {"x", 0}}) {
        EXPECT_EQ(now(cancel, {{"fileName", name}}).data, JSObject({{"cancelled", count}}));
    }
    ASSERT_TRUE(answeredAll(running + 2));
    for (std::size_t i = 1; i < recorder->answers().size(); ++i) {
        EXPECT_EQ(recorder->answers()[i].result.message, "Download cancelled");
    }
    EXPECT_EQ(readWhole(downloads() / "song"), "old");
    EXPECT_FALSE(fs::exists(package()));
    EXPECT_TRUE(fs::is_empty(root / "tmp"));

    // The listing holds regular files only. Deleting is the offline store's, links and pipes
    // included (ContainerEdgeTest).
    fs::create_symlink(directory / "secret", downloads() / "link");
    ASSERT_EQ(::mkfifo((downloads() / "pipe").c_str(), 0600), 0);
    fs::create_directory(downloads() / "folder");
    EXPECT_EQ(now(list).data, JSObject({{"files", {{{"name", "song"}, {"size", 3}}}},
                                        {"active", JSObject::array()}}));
    for (bool there : {true, false}) {
        EXPECT_EQ(now(erase, {{"fileName", "song"}}).data, JSObject({{"success", there}}));
    }
}

// What a data task keeps in memory is bounded to the byte. Without libcurl nothing is fetched:
// each transfer fails saying why, on the session's thread like any other completion.
TEST_F(DownloadPluginTest, DataTasksAreBoundedAndWithoutTheHttpLibraryEveryTransferFailsSayingWhy) {
    for (std::size_t size : {CurlURLSession::maxDataBytes, CurlURLSession::maxDataBytes + 1}) {
        auto result = fetch(server.url("/bytes/" + std::to_string(size)));
        bool fits = size == CurlURLSession::maxDataBytes;
        EXPECT_EQ(result.data ? result.data->size() : 0, fits ? size : 0);
        EXPECT_EQ(result.error ? result.error->description : "", fits ? "" : "Response too large");
    }
    requests = 0;
    session = std::make_shared<CurlURLSession>(root / "tmp", CurlURLSession::Limits{},
                                               "libcurl-missing.so.4");
    makePlugin(std::nullopt);
    const std::string why =
        "Cannot load libcurl: libcurl-missing.so.4: cannot open shared "
        "object file: No such file or directory";
    for (Method method : {file, install}) {
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
    constexpr int bound = CurlURLSession::maxRunningTransfers, burst = 3 * bound;
    RangedBody held;
    held.holdAt = 0;
    LoopbackServer gate;
    // Room for every connection of the burst, kept open between requests as real servers do.
    gate.routes().new_task_queue = [] { return new httplib::ThreadPool(40); };
    gate.routes().set_keep_alive_max_count(100);
    gate.routes().set_keep_alive_timeout(1);
    held.serve(gate.routes(), "/held");
    gate.start();
    for (int i = 0; i < burst; ++i) {
        start(file, {{"url", gate.url("/held")}, {"fileName", "b" + std::to_string(i)}});
    }
    auto begun = [&] {
        std::lock_guard lock(held.mutex);
        return std::max(held.seen.size(), entries(root / "tmp").size());
    };
    ASSERT_TRUE(eventually([&] { return begun() >= bound; }));
    // Each download makes its file as it begins: long enough for one more to have begun, were it
    // let (a short wait; nothing shows that one will not).
    EXPECT_FALSE(eventually([&] { return begun() > bound; }, std::chrono::milliseconds(300)));
    held.open();
    ASSERT_TRUE(answeredAll(burst));
    EXPECT_EQ(std::ranges::count_if(recorder->answers(),
                                    [](const Answer& each) { return each.result.resolved; }),
              burst);
    // Connections that hold a socket, idle ones a cache keeps included.
    EXPECT_LE(std::ranges::count_if(tcpSockets(),
                                    [&](const TcpSocket& socket) {
                                        return socket.remotePort == gate.port() &&
                                               (socket.state == "01" || socket.state == "08");
                                    }),
              bound);
}

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
    fs::path script = directory / "opener";
    // Each run appends a line to "started"; appends of one byte never mix.
    std::ofstream(script) << "#!/bin/sh\necho >> '" << (directory / "started").string()
                          << "'\nwhile [ ! -e '" << (directory / "release").string()
                          << "' ]; do sleep 0.02; done\n";
    fs::permissions(script, fs::perms::owner_all);
    auto started = [&] { return std::ranges::count(readWhole(directory / "started"), '\n'); };
    FakeServices fakes;
    // A sanitizer's runtime starts a thread of its own along with the process's first one.
    std::thread([] {}).join();
    std::size_t threadsBefore = entries("/proc/self/task").size();
    CommandFileOpener opener(script.string(), fakes.mainQueue);
    constexpr int requests = 30;
    int opened = 0;
    for (int i = 0; i < requests; ++i) {
        opener.open(directory / std::to_string(i), [&](bool success) { opened += success; });
    }
    EXPECT_LE(entries("/proc/self/task").size(), threadsBefore + 1);
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

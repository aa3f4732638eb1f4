// The bridge's parts in process, so that they run under every sanitizer: calls and their answers,
// the lines they travel as, and the window's own glue (the router, GTK's main queue, its renderer).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <glib.h>
#include <gtk/gtk.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

#include "App/Bridge/CAPPluginCall.h"
#include "Eventually.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeConsole.h"
#include "Fakes/FakeServices.h"
#include "Host/Core/Bridge.h"
#include "Host/Core/MessageLine.h"
#include "Host/Core/RequestParser.h"
#include "Host/Core/RequestRouter.h"
#include "Host/Core/RuntimeClassTable.h"
#include "Host/Web/UserSocket.h"
#include "Host/Window/GlibMainQueue.h"
#include "Host/Window/PageChannel.h"
#include "Host/Window/WindowRenderer.h"
#include "Platform/Posix/WriteAll.h"
#include "TemporaryDirectory.h"

using host::MessageLine;
using testing::ElementsAre;

namespace {

class RecordingResponder : public CAPCallResponder {
public:
    void respond(const std::string& callbackId, CAPCallResult result) override {
        answers.push_back(MessageLine::answerText(callbackId, result));
    }
    std::vector<std::string> answers;
};

CAPPluginCall makeCall(const std::shared_ptr<CAPCallResponder>& responder, JSObject options = {}) {
    return CAPPluginCall("7", "method", std::move(options), responder);
}

TEST(CAPPluginCallTest, AccessorsFollowTheBridgeRules) {
    auto call = makeCall(std::make_shared<RecordingResponder>(), JSObject::parse(R"({
        "text": "hi", "int": 42, "fraction": 1234.56, "negative": -2.7, "huge": 1e300,
        "max": 9223372036854775807, "unsigned": 18446744073709551615, "numeric text": "12",
        "2^63": 9223372036854775808.0, "-2^63": -9223372036854775808.0,
        "below 2^63": 9223372036854774784.0, "yes": true, "nothing": null, "list": [1]})"));
    EXPECT_EQ(std::tuple(call.getString("text"), call.getDouble("int"), call.getDouble("fraction")),
              std::tuple("hi", 42.0, 1234.56));
    // Fractions are truncated toward zero.
    EXPECT_EQ((std::vector{call.getInt("int"), call.getInt("fraction"), call.getInt("negative"),
                           call.getInt("max"), call.getInt("-2^63"), call.getInt("below 2^63")}),
              (std::vector<std::optional<std::int64_t>>{42, 1234, -2, INT64_MAX, INT64_MIN,
                                                        9223372036854774784}));
    for (const char* key : {"int", "yes", "nothing", "list", "absent"}) {
        EXPECT_FALSE(call.getString(key)) << key;
    }
    for (const char* key : {"huge", "2^63", "unsigned", "numeric text", "yes", "nothing"}) {
        EXPECT_FALSE(call.getInt(key)) << key;
    }
    for (const char* key : {"numeric text", "yes", "nothing", "absent"}) {
        EXPECT_FALSE(call.getDouble(key)) << key;
    }
}

// Run it under tsan: the answers are a plain vector, so two threads answering one call race, which
// tsan reports even if the count comes out right. They start each round together, one a little
// later each time, so that the second reaches the finished check at every point of the first's.
TEST(CAPPluginCallTest, AnsweredExactlyOnceWhenFinishedTwiceFromOneThreadOrTwoOrDropped) {
    auto responder = std::make_shared<RecordingResponder>();
    {
        auto call = makeCall(responder);
        auto kept = call;  // a method may keep its call and finish it later
        kept.resolve(JSObject{{"path", "/a"}});
        call.reject("too late");
        call.resolve();
    }
    makeCall(responder);  // forgotten by its method: still answered
    EXPECT_THAT(responder->answers,
                ElementsAre(R"({"id":7,"ok":true,"data":{"path":"/a"}})",
                            R"({"id":7,"ok":false,"message":"Call dropped without an answer"})"));
    responder->answers.clear();
    constexpr int rounds = 2048;
    std::vector<CAPPluginCall> calls;
    for (int i = 0; i < rounds; ++i) {
        calls.emplace_back(std::to_string(i), "m", JSObject::object(), responder);
    }
    std::atomic<int> arrived{0};
    auto finishEach = [&](bool resolving) {
        for (int i = 0; i < rounds; ++i) {
            arrived.fetch_add(1);
            while (arrived.load() < 2 * (i + 1)) {
            }
            for (volatile int delay = (resolving ? i : i / 64) % 64; delay > 0;) {
                delay = delay - 1;
            }
            resolving ? calls[i].resolve() : calls[i].reject("second");
        }
    };
    std::thread other(finishEach, true);
    finishEach(false);
    other.join();
    EXPECT_EQ(responder->answers.size(), std::size_t{rounds});
}

// Long strings are borrowed rather than copied into the line, and escaped when they need it.
TEST(MessageLineTest, WritesAnswersAndEventsAsOneLineOfJsonAndEndsStreamedTextsAsTheyEnd) {
    std::string name(5000, 'e');
    std::string quoted = std::string(5000, 'b') + "\"\\\x01";
    std::string broken = std::string(5000, 'c') + "\xff";
    FakeConsole console;
    // Values beside a long string and values without one are written alike.
    JSObject data{
        {"a", {name, "\xfe", nullptr}}, {"b", quoted}, {"c", broken}, {"d", {{"e", "\t"}}}};
    MessageLine::printAnswer(console, "1", {true, data, {}});
    EXPECT_EQ(console.lines(), std::vector<std::string>{
                                   R"({"id":1,"ok":true,"data":{"a":[")" + name +
                                   "\",\"\xef\xbf\xbd\",null],\"b\":\"" + std::string(5000, 'b') +
                                   R"(\"\\\u0001","c":")" + std::string(5000, 'c') +
                                   "\xef\xbf\xbd\"" + R"(,"d":{"e":"\t"}}})"});
    EXPECT_EQ(MessageLine::answerText("1", {false, std::nullopt, "say \"no\"\n"}),
              R"({"id":1,"ok":false,"message":"say \"no\"\n"})");
    EXPECT_EQ(
        MessageLine::answerText("2", {true, JSObject{{"total", UINT64_MAX}, {"rate", 0.1}}, {}}),
        R"({"id":2,"ok":true,"data":{"rate":0.1,"total":18446744073709551615}})");
    EXPECT_EQ(MessageLine::eventText(name + "p", name, {{"dir", -1}}),
              R"({"event":")" + name + R"(","plugin":")" + name + R"(p","data":{"dir":-1}})");

    // A text that fails after its answer has begun ends as a rejection the client reads, never as
    // a success holding part of the text.
    auto pieces = [](bool failAtEnd) -> CAPTextSource {
        return [failAtEnd](const std::function<void(std::string_view)>& piece) {
            piece("QUJD");
            piece("REVG");
            return failAtEnd ? std::optional<std::string>("Read failed: Input/output error")
                             : std::nullopt;
        };
    };
    FakeConsole streamed;
    MessageLine::printStreamedAnswer(streamed, "7", {JSObject{{"size", 6}}, "data", pieces(false)});
    MessageLine::printStreamedAnswer(streamed, "8", {JSObject::object(), "data", pieces(true)});
    EXPECT_THAT(
        streamed.lines(),
        ElementsAre(
            R"({"id":7,"data":{"size":6,"data":"QUJDREVG"},"ok":true})",
            R"({"id":8,"data":{"data":"QUJDREVG"},"ok":false,"message":"Read failed: Input/output error"})"));
}

host::ParsedRequest parse(std::string line) {
    host::RequestParser parser;
    line.reserve(line.size() + host::RequestParser::padding());
    return parser.parse(std::move(line));
}

// Repeated keys keep the last value, whatever the earlier one was.
TEST(RequestParserTest, ReadsPluginCallsWithTheirOptionsAndTheLastOfRepeatedKeys) {
    auto parsed = parse(R"({"id": "a1", "plugin": "P", "method": "m",
        "options": {"s": "x\u00e9\"y", "big": 18446744073709551615, "n": -3, "f": 2.5,
                    "beyond": 123456789012345678901234567890, "list": [true, null]}})");
    ASSERT_TRUE(parsed.request) << parsed.error;
    EXPECT_EQ(std::tie(parsed.request->id, parsed.request->plugin, parsed.request->method),
              std::tuple(R"("a1")", "P", "m"));
    EXPECT_EQ(parsed.request->options.dump(),
              R"({"beyond":1.2345678901234568e+29,"big":18446744073709551615,"f":2.5,)"
              R"("list":[true,null],"n":-3,"s":"xé\"y"})");

    // Long strings are filled in after the line is read (a repeated key once made the host write
    // into freed memory): one that a later key replaced, or that only served to check the id,
    // must not be written to or read from.
    const std::string a(5000, 'a');
    const std::string b(6000, 'b');
    const std::string c(4096, 'c');
    const std::vector<std::pair<std::string, JSObject>> cases = {
        {R"({"data":")" + a + R"(","data":"short"})", {{"data", "short"}}},
        {R"({"data":")" + a + R"(","data":")" + b + R"("})", {{"data", b}}},
        {R"({"data":")" + b + R"(","data":")" + a + R"(","x":")" + c + R"("})",
         {{"data", a}, {"x", c}}},
        {R"({"o":{"x":")" + a + R"(","y":[")" + b + R"("]},"o":1,"z":")" + c + R"("})",
         {{"o", 1}, {"z", c}}},
    };
    for (const auto& [options, expected] : cases) {
        parsed = parse(R"({"id":1,"plugin":"P","method":"m","options":)" + options + "}");
        ASSERT_TRUE(parsed.request) << parsed.error;
        EXPECT_EQ(parsed.request->options, expected) << options.substr(0, 40);
    }
    parsed = parse(R"({"id":")" + a + R"(","plugin":")" + b + R"(","plugin":"P","method":")" + c +
                   R"(","method":"m","options":{"s":")" + b + R"("},"options":{"s":")" + c +
                   R"("},"extra":")" + a + R"("})");
    ASSERT_TRUE(parsed.request) << parsed.error;
    EXPECT_EQ(std::tie(parsed.request->id, parsed.request->plugin, parsed.request->method),
              std::tuple('"' + a + '"', "P", "m"));
    EXPECT_EQ(parsed.request->options, JSObject({{"s", c}}));
    EXPECT_EQ(parsed.request->members["extra"], a);
    auto host = parse(R"({"id":1,"host":")" + b + R"(","host":"reloadView"})");
    ASSERT_TRUE(host.request) << host.error;
    EXPECT_EQ(host.request->host, "reloadView");
}

// A page is no operating system: it cannot stand in for the media keys or quit. (Its calls reach
// the bridge through the same router in WebServerTest.)
TEST(RequestRouterTest, HostRequestsFromAPageAreRefusedAtOnce) {
    FakeServices fakes;
    auto page = std::make_shared<FakeBridge>(fakes.services());
    host::RequestRouter(nullptr, nullptr).handle(R"({"id":1,"host":"quit"})", std::nullopt, page);
    auto answers = page->answers();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(host::MessageLine::answerText(answers[0].first, answers[0].second),
              R"({"id":1,"ok":false,"message":"Host requests are not accepted over the bridge"})");
}

// An I/O context run on a thread of its own while the test lasts, as the web server runs its own.
struct NetworkThread {
    NetworkThread() : thread([this] { context.run(); }) {}
    ~NetworkThread() {
        work.reset();
        context.stop();
        thread.join();
    }
    boost::asio::io_context context;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work =
        boost::asio::make_work_guard(context);
    std::thread thread;
};

FileDescriptor connectTo(const std::filesystem::path& path) {
    FileDescriptor peer(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{AF_UNIX, {}};
    std::memcpy(address.sun_path, path.c_str(), path.string().size() + 1);
    EXPECT_EQ(::connect(peer.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return peer;
}

// The window page's channel, in process so that its threads run under every sanitizer: lines in,
// answers from the bridge's thread and events from any, out in order; one line over the limit is
// refused by its id and the connection goes on.
TEST(PageChannelTest, AnswersAndEventsComeBackInOrderAndAnOversizedLineIsRefusedByItsId) {
    TemporaryDirectory directory;
    host::RuntimeClassTable classes;
    FakeServices fakes;
    auto bridge = std::make_shared<host::Bridge>(classes, fakes.services(),
                                                 std::vector<std::string>{"OfflineStoragePlugin"});
    bridge->loadWebApplication();
    NetworkThread network;
    auto channel =
        std::make_shared<host::PageChannel>(network.context, directory / "w", bridge, 1024);
    channel->accept();
    FileDescriptor peer = connectTo(directory / "w/channel");
    timeval patience{10, 0};
    ::setsockopt(peer.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    auto refused = [](int id, const char* message) {
        return R"({"id":)" + std::to_string(id) + R"(,"ok":false,"message":")" + message + "\"}\n";
    };
    auto exchange = [&](const std::string& lines, const std::string& expected) {
        posix::writeAll(peer.get(), lines);
        std::string got(expected.size(), '\0');
        got.resize(std::max<ssize_t>(::recv(peer.get(), got.data(), got.size(), MSG_WAITALL), 0));
        EXPECT_EQ(got, expected);
    };
    const std::string badName =
        R"({"id":9,"plugin":"OfflineStoragePlugin","method":"readFile","options":{"filename":"../x"}})"
        "\n";
    exchange(R"({"id":7,"x":")" + std::string(2000, 'A') + "\"}\n" + badName,
             refused(7, "Request too large") + refused(9, "Invalid filename"));
    ASSERT_TRUE(channel->deliverEvent("P", "e", JSObject{{"n", 1}}));
    exchange(badName, MessageLine::eventText("P", "e", JSObject{{"n", 1}}) + "\n" +
                          refused(9, "Invalid filename"));
    bridge->stop();
}

// Out of descriptors, the user socket waits for one instead of spinning its thread.
TEST(UserSocketTest, OutOfDescriptorsItWaitsAndThenTakesThePeer) {
    TemporaryDirectory directory;
    NetworkThread network;
    auto socket = std::make_shared<host::UserSocket>(
        network.context, FileDescriptor(::open(directory.path().c_str(), O_PATH | O_DIRECTORY)),
        "s", "");
    std::atomic<int> taken{0};
    socket->accept([&](FileDescriptor) { ++taken; });
    std::vector<FileDescriptor> spent;
    for (FileDescriptor fd(::dup(0)); fd.valid(); fd = FileDescriptor(::dup(0))) {
        spent.push_back(std::move(fd));
    }
    spent.pop_back();  // one for the peer
    FileDescriptor peer = connectTo(directory / "s");
    clockid_t clock{};
    ASSERT_EQ(pthread_getcpuclockid(network.thread.native_handle(), &clock), 0);
    auto cpu = [&] {
        timespec now{};
        ::clock_gettime(clock, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };
    auto before = cpu();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpu() - before, std::chrono::milliseconds(150));
    EXPECT_EQ(taken, 0);
    spent.clear();
    EXPECT_TRUE(eventually([&] { return taken == 1; }));
}

TEST(GlibMainQueueTest, RunsWorkInOrderOnTheLoopAndNoneAfterStop) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    host::GlibMainQueue queue;
    std::vector<int> ran;
    queue.async([&] { ran.push_back(1); });
    std::thread other([&] { queue.async([&] { ran.push_back(2); }); });
    other.join();
    queue.async([&] {
        ran.push_back(3);
        queue.stop();
        queue.async([&] { ran.push_back(4); });
        g_main_loop_quit(loop);
    });
    queue.async([&] { ran.push_back(5); });  // waiting when the queue stopped: dropped
    g_main_loop_run(loop);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_main_loop_unref(loop);
    EXPECT_THAT(ran, ElementsAre(1, 2, 3));
}

TEST(WindowRendererTest, CairoAndNoGLOnlyWithoutAGraphicsDeviceAndNeverOverTheUsersChoice) {
    TemporaryDirectory devices;
    bool oldGtk = gtk_get_minor_version() < 16;
    const char* glSwitch = oldGtk ? "GDK_DEBUG" : "GDK_DISABLE";
    auto set = [](const char* name, const char* value) {
        value ? g_setenv(name, value, TRUE) : (g_unsetenv(name), TRUE);
    };
    for (const auto& [renderer, gl] :
         {std::pair<const char*, const char*>{nullptr, nullptr}, {"vulkan", "events"}}) {
        set("GSK_RENDERER", renderer);
        set(glSwitch, gl);
        host::chooseWindowRenderer(devices.path());
        EXPECT_STREQ(g_getenv("GSK_RENDERER"), renderer ? renderer : "cairo");
        EXPECT_STREQ(g_getenv(glSwitch), gl ? gl : oldGtk ? "gl-disable" : "gl");
    }
    for (const char* device : {"dri/renderD128", "nvidiactl"}) {
        g_unsetenv("GSK_RENDERER");
        TemporaryDirectory other;
        std::filesystem::create_directories((other / device).parent_path());
        std::ofstream(other / device).put('\n');
        host::chooseWindowRenderer(other.path());
        EXPECT_EQ(g_getenv("GSK_RENDERER"), nullptr) << device;
    }
}

}  // namespace

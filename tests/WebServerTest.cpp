// The browser host's listening socket, and its defences against clients that hold on to what they
// are given: silent connections, descriptor exhaustion, pages that stop reading, and floods of
// refused requests.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <deque>
#include <optional>
#include <regex>
#include <thread>

#include <httplib.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "Eventually.h"
#include "FileContents.h"
#include "ShellProcess.h"
#include "TcpSockets.h"
#include "TemporaryDirectory.h"

using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;

namespace {

// A connection to the server in the test's own hands: raw bytes, or, given a session cookie, a
// logged-in page's WebSocket. Each wait throws after 30 s, which only a broken server lets pass.
class Connection {
public:
    explicit Connection(int port, const std::string& cookie = "", int receiveBufferBytes = 0) {
        socket_.open(asio::ip::tcp::v4());
        if (receiveBufferBytes > 0) {
            socket_.set_option(asio::socket_base::receive_buffer_size(receiveBufferBytes));
        }
        socket_.connect({asio::ip::address_v4::loopback(), static_cast<std::uint16_t>(port)});
        if (!cookie.empty()) {
            upgrade(port, cookie);
        }
    }

    void send(std::string_view text) { asio::write(socket_, asio::buffer(text)); }

    void readUntilClosed() {
        std::string text;
        await([&](auto done) { asio::async_read(socket_, asio::dynamic_buffer(text), done); },
              true);
    }

    std::string readHead() {
        std::string text;
        await([&](auto done) {
            asio::async_read_until(socket_, asio::dynamic_buffer(text), "\r\n\r\n", done);
        });
        return text;
    }

    void sendMessage(std::string_view text, bool binary = false) {
        page_->binary(binary);
        await([&](auto done) { page_->async_write(asio::buffer(text), done); });
    }

    std::string receiveMessage() {
        boost::beast::flat_buffer message;
        await([&](auto done) { page_->async_read(message, done); });
        return boost::beast::buffers_to_string(message.data());
    }

private:
    void upgrade(int port, const std::string& cookie) {
        std::string host = "127.0.0.1:" + std::to_string(port);
        page_.emplace(socket_);
        page_->set_option(websocket::stream_base::decorator([cookie, host](auto& request) {
            request.set(boost::beast::http::field::cookie, cookie);
            request.set(boost::beast::http::field::origin, "http://" + host);
        }));
        page_->read_message_max(0);
        await([&](auto done) { page_->async_handshake(host, "/bridge", done); });
    }

    // Runs the operation `start` begins to its end. Only an operation that may end with the
    // connection closed or reset takes that for an end.
    template <class Start>
    void await(Start start, bool mayEndClosed = false) {
        std::optional<boost::system::error_code> ended;
        start([&](boost::system::error_code error, auto...) { ended = error; });
        io_.restart();
        io_.run_for(30s);
        if (!ended || (*ended && !mayEndClosed)) {
            throw std::runtime_error("the server gave " + (ended ? ended->message() : "nothing"));
        }
    }

    asio::io_context io_;
    asio::ip::tcp::socket socket_{io_};
    std::optional<websocket::stream<asio::ip::tcp::socket&>> page_;
};

class WebServerTest : public testing::Test {
protected:
    void start(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(),
                         {"serve", "--container", (directory / "container").string()});
        shell.emplace(arguments);
        std::smatch match;
        std::string address = shell->firstOtherLine();
        ASSERT_TRUE(std::regex_match(address, match,
                                     std::regex(R"(http://127\.0\.0\.1:(\d+)/\?token=(\w+))")))
            << shell->standardError();
        port = std::stoi(match[1]);
        token = match[2];
    }

    std::pair<int, std::string> get(const std::string& target) {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(std::chrono::seconds(30));
        auto answer = client.Get(target);
        return {answer ? answer->status : 0, answer ? answer->get_header_value("Set-Cookie") : ""};
    }

    // A connection upgraded to the bridge's WebSocket, as a page that logged in has it. The
    // printed address logs in once.
    std::unique_ptr<Connection> page(int receiveBufferBytes = 0) {
        if (cookie.empty()) {
            cookie = get("/?token=" + token).second;
            cookie = cookie.substr(0, cookie.find(';'));
        }
        return std::make_unique<Connection>(port, cookie, receiveBufferBytes);
    }

    static std::string call(int id, const std::string& method, Json options = Json::object()) {
        return ShellProcess::request(id, "OfflineStoragePlugin", method, std::move(options)).dump();
    }

    bool logSays(const std::string& text) const {
        return shell->standardError().find(text) != std::string::npos;
    }

    TemporaryDirectory directory;
    std::optional<ShellProcess> shell;
    int port = 0;
    std::string token;
    std::string cookie;
};

TEST_F(WebServerTest, ListensOnLoopbackOnlyAndLoginHandsOutAFreshAddressThatLogsInOnce) {
    start();
    std::string listening;
    for (const TcpSocket& socket : tcpSockets()) {
        listening += socket.state == "0A" && socket.localPort == port ? socket.localAddress : "";
    }
    EXPECT_EQ(listening, "0100007F");
    ShellProcess second{
        {"serve", "--container", (directory / "c").string(), "--port", std::to_string(port)}};
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.standardError().find("cannot serve: "), std::string::npos)
        << second.standardError();

    // A lost or spent address needs no restart: `login` asks the server on the container for a
    // fresh one, which logs in once, while the spent one stays refused.
    auto answer = [&](const std::string& secret) { return get("/?token=" + secret).first; };
    EXPECT_EQ(answer(token), 302);
    ShellProcess login({"login", "--container", (directory / "container").string()});
    std::string fresh = login.firstOtherLine();
    EXPECT_EQ(login.wait(), 0) << login.standardError();
    ASSERT_TRUE(fresh.starts_with("http://127.0.0.1:" + std::to_string(port) + "/?token="))
        << fresh;
    std::string freshToken = fresh.substr(fresh.find('=') + 1);
    EXPECT_EQ(answer(token), 403);
    EXPECT_EQ(answer(freshToken), 302);
    EXPECT_EQ(answer(freshToken), 403);
    ShellProcess nobody({"login", "--container", (directory / "none").string()});
    EXPECT_EQ(nobody.wait(), 1);
}

TEST_F(WebServerTest, SilentConnectionsLoseTheirSlotToOnesThatWait) {
    start({"--max-connections", "2", "--header-timeout", "1"});
    Connection first(port);
    Connection second(port);
    first.send("GET / HTTP/1.1\r\n");  // headers begun, never ended
    ASSERT_TRUE(eventually([&] {
        return logSays("web: 2 connections open, the most allowed; new ones wait until one closes");
    }));
    // Neither of the first two ever finishes its headers: their deadline lets the third in.
    EXPECT_EQ(get("/").first, 403);
    first.readUntilClosed();
    second.readUntilClosed();
}

// The sanitizer presets leave this out: their runtimes need descriptors of their own (UBSan opens a
// pipe to check a pointer's dynamic type) and report false errors when none is left.
TEST_F(WebServerTest, OutOfDescriptorsTheServerWaitsAndThenServesAgain) {
    rlimit original{};
    ::getrlimit(RLIMIT_NOFILE, &original);
    rlimit few{48, original.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &few);  // the shell inherits it
    start();
    ::setrlimit(RLIMIT_NOFILE, &original);
    std::deque<Connection> hogs;
    while (hogs.size() < 64) {
        hogs.emplace_back(port);
    }
    ASSERT_TRUE(eventually([&] {
        return logSays("web: cannot accept a connection (Too many open files); trying again");
    })) << shell->standardError();
    hogs.clear();
    EXPECT_EQ(get("/").first, 403);
}

TEST_F(WebServerTest, APageThatStopsReadingIsCutOffAndOthersGoOn) {
    start();
    // A small receive buffer, never read: what the server sends it piles up on the server.
    auto stalled = page(4096);
    // Each media key press is an event for every page: the page must be cut off well before
    // 100,000 presses (16,384 may wait, the rest fill the sockets).
    constexpr int round = 4000;
    std::string lines;
    for (int i = 0; i < round; ++i) {
        lines += R"({"id":0,"host":"remoteCommand","command":"nextTrack"})"
                 "\n";
    }
    for (int presses = 0; !logSays("bridge: a page stopped reading with ") && presses < 100000;
         presses += round) {
        std::thread keys([&] { shell->send(lines); });
        for (int answered = 0; answered < round;) {
            auto message = shell->next();
            ASSERT_TRUE(message) << shell->standardError();
            answered += message->contains("ok");
        }
        keys.join();
    }
    EXPECT_TRUE(logSays("bridge: a page stopped reading with "));
    stalled->readUntilClosed();

    auto reading = page();
    reading->sendMessage(call(1, "listFiles"));
    // The last presses' events may still be on their way to every page, this one included.
    std::string answer;
    while ((answer = reading->receiveMessage()).starts_with(R"({"event")")) {
    }
    EXPECT_EQ(answer, R"({"id":1,"ok":true,"data":{"files":[]}})");
}

TEST_F(WebServerTest, RefusalsAreLoggedAFewLinesASecondPostsNeedACallAndBytesGoThroughWhole) {
    start();
    auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(get("/secret").first, 403);
    }
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::string log = shell->standardError();
    // Ten a second at most, however long the refusals took.
    EXPECT_LE(std::count(log.begin(), log.end(), '\n'), 10 * (static_cast<long>(seconds) + 1) + 2)
        << log;
    EXPECT_TRUE(
        logSays("web: refused: Open the address the shell printed, or run `musicshell "
                "login` for a fresh one (GET /secret, host 127.0.0.1:" +
                std::to_string(port) + ")"));

    // Only a POST of a call with its length declared is taken, and a length over the cap is
    // refused before a byte is read; other requests keep their small bodies.
    page();  // logs in
    std::string own = "Host: 127.0.0.1:" + std::to_string(port) + "\r\nCookie: " + cookie +
                      "\r\nOrigin: http://127.0.0.1:" + std::to_string(port) + "\r\n";
    for (auto [head, expected] : std::vector<std::pair<std::string, std::string>>{
             {"POST /bridge?call=%7B%7D HTTP/1.1\r\nTransfer-Encoding: chunked\r\n", "411"},
             {"POST /bridge HTTP/1.1\r\nContent-Length: 1\r\n", "400"},
             {"POST /bridge?call=%7B%7D HTTP/1.1\r\nContent-Length: 1000000000\r\n", "413"},
             {"POST /elsewhere HTTP/1.1\r\nContent-Length: 0\r\n", "403"},
             {"GET / HTTP/1.1\r\nContent-Length: 100000\r\n", "413"}}) {
        Connection connection(port);
        connection.send(head + own + "\r\n");
        EXPECT_TRUE(connection.readHead().starts_with("HTTP/1.1 " + expected)) << head;
    }

    // A page's bytes reach the store exactly as sent, without base64 on the way: every byte value,
    // a line end and NUL among them. A 64 MiB answer comes back whole. A binary message with no
    // line end after its JSON is refused.
    std::string bytes;
    for (int i = 0; i < 600; ++i) {
        bytes += static_cast<char>(i * 7);
    }
    auto connection = page();
    connection->sendMessage(call(1, "writeFile", {{"filename", "song.bin"}}) + "\n" + bytes, true);
    auto song = directory / "container/Library/Application Support/offline/song.bin";
    EXPECT_EQ(connection->receiveMessage(),
              R"({"id":1,"ok":true,"data":{"path":")" + song.string() + R"("}})");
    EXPECT_EQ(readWhole(song), bytes);

    std::string data(std::size_t{64} << 20, 'A');  // base64 of 48 MiB of zero bits
    shell->store("writeFile", {{"filename", "big"}, {"data", data}});
    connection->sendMessage(call(4, "readFile", {{"filename", "big"}}));
    // Compared whole, not printed: the text is 64 MiB.
    std::string answer = connection->receiveMessage();
    EXPECT_TRUE(answer == R"({"id":4,"ok":true,"data":{"data":")" + data + "\"}}")
        << answer.size() << " bytes: " << answer.substr(0, 60);
    // A page that reads as it goes is never cut off, however much has waited for it in all: 128
    // answers of 1 MiB over all, asked for 32 at a time and read once all are written, so most wait
    // behind the first.
    shell->store("writeFile", {{"filename", "mid"}, {"data", data.substr(0, 1 << 20)}});
    auto reading = page(4096);  // a small buffer, so that answers wait in the shell
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 32; ++i) {
            reading->sendMessage(call(7, "readFile", {{"filename", "mid"}}));
        }
        // Calls run in arrival order: once this one is answered, the 32 answers are on their way.
        shell->store("fileExists", {{"filename", "mid"}});
        for (int i = 0; i < 32; ++i) {
            ASSERT_EQ(reading->receiveMessage().size(), (1 << 20) + 37) << shell->standardError();
        }
    }

    connection->sendMessage(call(5, "writeFile"), true);
    EXPECT_EQ(connection->receiveMessage(),
              R"({"id":null,"ok":false,"message":"Malformed request: no line end after the call )"
              R"(in a binary message"})");
}

}  // namespace

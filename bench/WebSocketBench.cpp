// A native WebSocket client for the bench, and the raw echo server it is compared with:
//
//   musicshell_wsbench echo                       serve a raw echo on loopback; print its port
//   musicshell_wsbench calls ADDRESS N            N sequential small calls to a serving shell
//   musicshell_wsbench echo-calls PORT N          the same messages through the raw echo
//   musicshell_wsbench pages ADDRESS PAGES EVENTS connect PAGES pages, print "ready", and print
//                                                 "done" once every page has EVENTS events
//
// `calls` and `echo-calls` print {"median": µs, "p999": µs, "worst": µs}. ADDRESS is the one
// the shell prints, token included.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Socket = websocket::stream<tcp::socket>;

namespace {

struct Address {
    std::string port;
    std::string target;  // path and query, token included
};

Address parseAddress(const std::string& address) {
    // http://127.0.0.1:PORT/?token=T
    std::size_t colon = address.find(':', address.find("//") + 2);
    std::size_t slash = address.find('/', colon);
    return {address.substr(colon + 1, slash - colon - 1), address.substr(slash)};
}

tcp::socket connected(asio::io_context& context, const std::string& port) {
    tcp::socket socket(context);
    socket.connect(
        {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(std::stoi(port))});
    socket.set_option(tcp::no_delay(true));
    return socket;
}

// Swaps the printed address's token for the session cookie, as a page's first load does.
std::string loginCookie(asio::io_context& context, const Address& address) {
    tcp::socket socket = connected(context, address.port);
    http::request<http::empty_body> request{http::verb::get, address.target, 11};
    request.set(http::field::host, "127.0.0.1:" + address.port);
    http::write(socket, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(socket, buffer, response);
    std::string cookie(response[http::field::set_cookie]);
    return cookie.substr(0, cookie.find(';'));
}

std::unique_ptr<Socket> openBridge(asio::io_context& context, const Address& address,
                                   const std::string& cookie) {
    auto socket = std::make_unique<Socket>(connected(context, address.port));
    socket->set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
        request.set(http::field::cookie, cookie);
        request.set(http::field::origin, "http://127.0.0.1:" + address.port);
    }));
    socket->handshake("127.0.0.1:" + address.port, cookie.empty() ? "/" : "/bridge");
    return socket;
}

std::string smallCall(int id) {
    return R"({"id":)" + std::to_string(id) +
           R"(,"plugin":"OfflineStoragePlugin","method":"fileExists","options":{"filename":"x"}})";
}

void roundTrips(Socket& socket, int calls) {
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(calls));
    beast::flat_buffer buffer;
    socket.text(true);
    for (int i = -100; i < calls; ++i) {  // the first hundred warm up
        std::string message = smallCall(i);
        auto started = std::chrono::steady_clock::now();
        socket.write(asio::buffer(message));
        socket.read(buffer);
        auto took = std::chrono::steady_clock::now() - started;
        buffer.consume(buffer.size());
        if (i >= 0) {
            micros.push_back(std::chrono::duration<double, std::micro>(took).count());
        }
    }
    std::sort(micros.begin(), micros.end());
    std::printf("{\"median\": %.1f, \"p999\": %.1f, \"worst\": %.1f}\n", micros[micros.size() / 2],
                micros[micros.size() * 999 / 1000], micros.back());
}

void serveEcho() {
    asio::io_context context;
    tcp::acceptor acceptor(context, {asio::ip::make_address("127.0.0.1"), 0});
    std::printf("%u\n", acceptor.local_endpoint().port());
    std::fflush(stdout);
    // One client at a time is all the bench needs.
    for (;;) {
        tcp::socket socket = acceptor.accept();
        socket.set_option(tcp::no_delay(true));
        try {
            Socket echo(std::move(socket));
            echo.accept();
            beast::flat_buffer buffer;
            for (;;) {
                echo.read(buffer);
                echo.text(echo.got_text());
                echo.write(buffer.data());
                buffer.consume(buffer.size());
            }
        } catch (const std::exception&) {
            // the client left
        }
    }
}

void pagesReceiving(const Address& address, int pages, int events) {
    asio::io_context context;
    std::string cookie = loginCookie(context, address);
    std::vector<std::unique_ptr<Socket>> sockets;
    for (int i = 0; i < pages; ++i) {
        sockets.push_back(openBridge(context, address, cookie));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    beast::flat_buffer buffer;
    for (auto& socket : sockets) {
        for (int i = 0; i < events; ++i) {
            socket->read(buffer);
            buffer.consume(buffer.size());
        }
    }
    std::printf("done\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    try {
        asio::io_context context;
        if (arguments.size() == 1 && arguments[0] == "echo") {
            serveEcho();
        } else if (arguments.size() == 3 && arguments[0] == "calls") {
            Address address = parseAddress(arguments[1]);
            auto socket = openBridge(context, address, loginCookie(context, address));
            roundTrips(*socket, std::stoi(arguments[2]));
        } else if (arguments.size() == 3 && arguments[0] == "echo-calls") {
            auto socket = openBridge(context, {arguments[1], "/"}, "");
            roundTrips(*socket, std::stoi(arguments[2]));
        } else if (arguments.size() == 4 && arguments[0] == "pages") {
            pagesReceiving(parseAddress(arguments[1]), std::stoi(arguments[2]),
                           std::stoi(arguments[3]));
        } else {
            std::cerr << "usage: see the comment at the top of bench/WebSocketBench.cpp\n";
            return 2;
        }
    } catch (const std::exception& error) {
        std::cerr << "musicshell_wsbench: " << error.what() << "\n";
        return 1;
    }
    return 0;
}

#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "Host/Bridge.h"
#include "Host/LogThrottle.h"
#include "Host/WebSocketSession.h"

namespace host {

// What every connection of the web server needs to know.
struct WebServerSettings {
    std::filesystem::path appDirectory;
    std::filesystem::path clientDirectory;  // musicshell-bridge.js and its declarations
    unsigned short port = 0;
    std::string token;          // in the address printed for the user
    std::string sessionSecret;  // the cookie the token is swapped for
    std::size_t maxMessageBytes = 0;
    // How long a connection may take to send a request's headers, also between requests.
    std::chrono::steady_clock::duration headerTimeout;
    std::shared_ptr<Bridge> bridge;
    // Refusals come from anyone who can reach the port: their log lines are throttled.
    std::shared_ptr<LogThrottle> refusalLog;
};

// One HTTP connection: checks who is asking, swaps the token for a cookie, serves the web
// application's files and the bridge's client, and hands an upgrade to /bridge over to a
// WebSocket session, with its slot. Every refusal is a 403 or 413 with a short text and a
// (throttled) log line.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(boost::asio::ip::tcp::socket socket,
                std::shared_ptr<const WebServerSettings> settings, ConnectionSlot slot);

    void run();

private:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    void read();
    void readBody();
    // Answers 413 when a read failed for breaking a size limit.
    void refuseIfTooLarge(boost::beast::error_code error);
    void handle(Request request);
    // Serves an authorized request; `swapToken` when it came with the token to swap.
    Response answer(const Request& request, std::string_view path, bool swapToken) const;
    Response refusal(const Request& request, boost::beast::http::status status,
                     std::string_view text) const;
    Response file(const Request& request, const std::filesystem::path& path) const;
    void write(Response response);

    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    std::shared_ptr<const WebServerSettings> settings_;
    ConnectionSlot slot_;
};

}  // namespace host

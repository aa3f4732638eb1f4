#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "Host/Core/Bridge.h"
#include "Host/Core/PagePresence.h"
#include "Host/Web/DevServerProxy.h"
#include "Host/Web/LogThrottle.h"
#include "Host/Web/LoginTokens.h"
#include "Host/Web/ServedFile.h"
#include "Host/Web/WebSocketSession.h"

namespace host {

// What every connection of the web server needs to know.
struct WebServerSettings {
    std::filesystem::path appDirectory;
    std::filesystem::path
        clientDirectory;              // the bridge client, its declarations, its media session
    std::filesystem::path container;  // its stored and downloaded files are served too
    unsigned short port = 0;
    std::shared_ptr<LoginTokens> tokens;  // one for each address handed out
    std::string cookieName;               // this instance's own, so no other port's replaces it
    std::string sessionSecret;            // the cookie a token is swapped for
    std::size_t maxMessageBytes = 0;      // also the most a POST's body may hold
    // Where a call's bytes posted to /bridge are staged; without it, no POST is taken.
    platform::FileSystem* staging = nullptr;
    // How long a connection may take to send a request's headers, also between requests.
    std::chrono::steady_clock::duration headerTimeout;
    std::shared_ptr<Bridge> bridge;
    // Refusals come from anyone who can reach the port: their log lines are throttled.
    std::shared_ptr<LogThrottle> refusalLog;
    std::weak_ptr<PagePresence> presence;
    // Where the application's pages come from instead of appDirectory, when set.
    std::optional<DevServerProxy::Server> devServer;

    // The Cookie header of a logged-in browser.
    std::string cookie() const { return cookieName + "=" + sessionSecret; }
};

// One HTTP connection: checks who is asking, swaps the token for a cookie, serves the web
// application's files, the bridge's client and the container's media, and hands an upgrade to
// /bridge over to a WebSocket session, with its slot. Files go out as the client takes them, so
// a large song costs no memory and a slow listener holds up no other request. Every refusal is
// a 403 or 413 with a short text and a (throttled) log line.
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
    // Serves a request that came with the session cookie.
    void answer(const Request& request, std::string_view path);
    // Sets the session cookie and sends the browser to the same path without the token.
    Response login(const Request& request, std::string_view path) const;
    Response refusal(const Request& request, boost::beast::http::status status,
                     std::string_view text) const;
    Response notFound(const Request& request) const;
    // The file a decoded path names (the bridge's client, the container's media, or the web
    // application's own), and the name that gives its media type.
    std::optional<std::pair<ServedFile, std::filesystem::path>> find(std::string_view path) const;
    void write(Response response);
    void sendFile(const Request& request, ServedFile file, std::string_view contentType);
    struct Body;
    void sendBody(std::shared_ptr<Body> body, bool keepAlive);
    // After an answer: reads the next request, or ends the connection.
    void finish(boost::beast::error_code error, bool keepAlive);

    boost::beast::tcp_stream stream_;
    boost::asio::steady_timer sendDeadline_;  // for a file's body, sent past the stream
    boost::beast::flat_buffer buffer_;
    std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
    std::shared_ptr<const WebServerSettings> settings_;
    ConnectionSlot slot_;
};

}  // namespace host

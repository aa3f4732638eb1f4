#include "Host/HttpSession.h"

#include <chrono>
#include <fstream>

#include <boost/beast/websocket.hpp>

#include "Host/WebAccess.h"
#include "Host/WebSocketSession.h"

namespace beast = boost::beast;
namespace http = beast::http;

namespace host {

namespace {
constexpr std::string_view cookieName = "musicshell";
constexpr std::uint32_t headerLimit = 16 * 1024;
constexpr std::uint64_t bodyLimit = 64 * 1024;
constexpr auto bodyTimeout = std::chrono::seconds(60);

// A request target's path, and its query without the "?".
std::pair<std::string_view, std::string_view> split(std::string_view target) {
    std::size_t mark = target.find('?');
    if (mark == std::string_view::npos) {
        return {target, {}};
    }
    return {target.substr(0, mark), target.substr(mark + 1)};
}
}  // namespace

HttpSession::HttpSession(boost::asio::ip::tcp::socket socket,
                         std::shared_ptr<const WebServerSettings> settings, ConnectionSlot slot)
    : stream_(std::move(socket)), settings_(std::move(settings)), slot_(std::move(slot)) {}

void HttpSession::run() {
    read();
}

void HttpSession::read() {
    parser_.emplace();
    parser_->header_limit(headerLimit);
    parser_->body_limit(bodyLimit);
    // A connection holds one of the server's few slots: one that does not say what it wants
    // soon gives it back.
    stream_.expires_after(settings_->headerTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                if (error) {
                                    self->refuseIfTooLarge(error);
                                    return;  // the client went away or kept silent
                                }
                                self->readBody();
                            });
}

void HttpSession::readBody() {
    stream_.expires_after(bodyTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                         if (error) {
                             self->refuseIfTooLarge(error);
                             return;  // the client went away or stalled
                         }
                         self->handle(self->parser_->release());
                     });
}

void HttpSession::refuseIfTooLarge(beast::error_code error) {
    if (error != http::error::header_limit && error != http::error::body_limit) {
        return;
    }
    Request unread;
    unread.version(11);
    write(refusal(unread, http::status::payload_too_large, "Request too large"));
}

void HttpSession::handle(Request request) {
    const auto& settings = *settings_;
    if (!web_access::isOwnHost(request[http::field::host], settings.port)) {
        write(refusal(request, http::status::forbidden, "Forbidden host"));
        return;
    }
    auto [path, query] = split(request.target());
    auto token = web_access::queryParameter(query, "token");
    auto cookie = web_access::cookie(request[http::field::cookie], cookieName);
    bool authorized = (cookie && web_access::sameSecret(*cookie, settings.sessionSecret)) ||
                      (token && web_access::sameSecret(*token, settings.token));

    if (beast::websocket::is_upgrade(request)) {
        if (path != "/bridge" || !authorized) {
            write(refusal(request, http::status::forbidden, "Forbidden"));
            return;
        }
        if (!web_access::isOwnOrigin(request[http::field::origin], settings.port)) {
            write(refusal(request, http::status::forbidden, "Forbidden origin"));
            return;
        }
        std::make_shared<WebSocketSession>(std::move(stream_), settings.bridge,
                                           settings.maxMessageBytes, std::move(slot_))
            ->run(std::move(request));
        return;
    }
    if (!authorized) {
        write(refusal(request, http::status::forbidden, "Open the address the shell printed"));
        return;
    }
    write(answer(request, path, token.has_value()));
}

HttpSession::Response HttpSession::answer(const Request& request, std::string_view path,
                                          bool swapToken) const {
    const auto& settings = *settings_;
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        return refusal(request, http::status::forbidden, "Only GET is served");
    }
    if (swapToken) {
        // Swap the token for a cookie, and take it out of the address bar.
        Response response{http::status::found, request.version()};
        response.set(http::field::location, std::string(path));
        response.set(http::field::set_cookie, std::string(cookieName) + "=" +
                                                  settings.sessionSecret +
                                                  "; Path=/; HttpOnly; SameSite=Strict");
        response.set(http::field::cache_control, "no-store");
        response.prepare_payload();
        response.keep_alive(request.keep_alive());
        return response;
    }
    if (path == "/musicshell-bridge.js" || path == "/musicshell-bridge.d.ts") {
        return file(request, settings.clientDirectory / path.substr(1));
    }
    auto found = web_access::staticFile(settings.appDirectory, path);
    if (!found) {
        Response missing{http::status::not_found, request.version()};
        missing.set(http::field::content_type, "text/plain; charset=utf-8");
        missing.body() = "Not found";
        missing.prepare_payload();
        missing.keep_alive(request.keep_alive());
        return missing;
    }
    return file(request, *found);
}

HttpSession::Response HttpSession::refusal(const Request& request, http::status status,
                                           std::string_view text) const {
    std::string line = "web: refused: " + std::string(text);
    if (!request.target().empty()) {
        // The path only: a query may hold the token, which has no place in a log.
        line += " (" + std::string(request.method_string()) + " " +
                std::string(split(request.target()).first) + ", host " +
                std::string(request[http::field::host]) + ")";
    }
    settings_->refusalLog->log(line);
    Response response{status, request.version()};
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = std::string(text);
    response.prepare_payload();
    response.keep_alive(false);
    return response;
}

HttpSession::Response HttpSession::file(const Request& request,
                                        const std::filesystem::path& path) const {
    std::ifstream input(path, std::ios::binary);
    Response response{http::status::ok, request.version()};
    response.set(http::field::content_type, web_access::contentType(path));
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.body().assign(std::istreambuf_iterator<char>(input), {});
    response.prepare_payload();
    if (request.method() == http::verb::head) {
        response.body().clear();
    }
    response.keep_alive(request.keep_alive());
    return response;
}

void HttpSession::write(Response response) {
    auto shared = std::make_shared<Response>(std::move(response));
    http::async_write(stream_, *shared,
                      [self = shared_from_this(), shared](beast::error_code error, std::size_t) {
                          if (error || !shared->keep_alive()) {
                              beast::error_code ignored;
                              self->stream_.socket().shutdown(
                                  boost::asio::ip::tcp::socket::shutdown_send, ignored);
                              return;
                          }
                          self->read();
                      });
}

}  // namespace host

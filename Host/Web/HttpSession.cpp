#include "Host/Web/HttpSession.h"

#include <chrono>
#include <limits>
#include <vector>

#include <boost/beast/websocket.hpp>

#include "Host/Web/DevSocketRelay.h"
#include "Host/Web/FileReply.h"
#include "Host/Web/UploadRequest.h"
#include "Host/Web/WebAccess.h"
#include "Host/Web/WebSocketSession.h"
#include "Platform/Log.h"

namespace beast = boost::beast;
namespace http = beast::http;

namespace host {

namespace {
constexpr std::uint32_t headerLimit = 16 * 1024;
constexpr std::uint64_t bodyLimit = 64 * 1024;
constexpr auto bodyTimeout = std::chrono::seconds(60);
// A client that takes nothing of an answer for this long is given up on.
constexpr auto sendTimeout = std::chrono::seconds(60);
// The most one call hands the kernel; what the socket cannot take yet waits for the next.
constexpr std::uint64_t chunkBytes = 8 * 1024 * 1024;

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
    : stream_(std::move(socket)),
      sendDeadline_(stream_.get_executor()),
      settings_(std::move(settings)),
      slot_(std::move(slot)) {}

void HttpSession::run() {
    read();
}

void HttpSession::read() {
    parser_.emplace();
    parser_->header_limit(headerLimit);
    // The body's limit depends on the request: it is set once the header is read. (Not
    // boost::none, which this Beast compares as smaller than any length.)
    parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
    // A connection holds one of the server's few slots: one that does not say what it wants
    // soon gives it back.
    stream_.expires_after(settings_->headerTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                if (error) {
                                    self->refuseIfTooLarge(error);
                                    return;  // the client went away or kept silent
                                }
                                if (UploadRequest::takes(*self->parser_, *self->settings_)) {
                                    std::make_shared<UploadRequest>(
                                        std::move(self->stream_), std::move(self->buffer_),
                                        *self->parser_, self->settings_, std::move(self->slot_))
                                        ->run();
                                    return;
                                }
                                self->readBody();
                            });
}

void HttpSession::readBody() {
    if (parser_->content_length().value_or(0) > bodyLimit) {
        refuseIfTooLarge(http::error::body_limit);
        return;
    }
    parser_->body_limit(bodyLimit);
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
    auto cookie = web_access::cookie(request[http::field::cookie], settings.cookieName);
    bool loggedIn = cookie && web_access::sameSecret(*cookie, settings.sessionSecret);

    if (beast::websocket::is_upgrade(request)) {
        bool bridge = path == "/bridge";
        if ((!bridge && !settings.devServer) || !loggedIn) {
            write(refusal(request, http::status::forbidden, "Forbidden"));
            return;
        }
        if (!web_access::isOwnOrigin(request[http::field::origin], settings.port)) {
            write(refusal(request, http::status::forbidden, "Forbidden origin"));
            return;
        }
        if (!bridge) {
            std::make_shared<DevSocketRelay>(std::move(stream_), std::move(buffer_),
                                             *settings.devServer, std::move(slot_))
                ->run(std::move(request));
            return;
        }
        std::make_shared<WebSocketSession>(std::move(stream_), settings.bridge, settings.presence,
                                           settings.maxMessageBytes, std::move(slot_))
            ->run(std::move(request));
        return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
        write(refusal(request, http::status::forbidden, "Only GET is served"));
        return;
    }
    auto token = web_access::queryParameter(query, "token");
    // A token is spent even by a browser that is logged in already.
    bool redeemed = token && settings.tokens->redeem(*token);
    if (!loggedIn && !redeemed) {
        write(refusal(
            request, http::status::forbidden,
            "Open the address the shell printed, or run `musicshell login` for a fresh one"));
        return;
    }
    if (token) {
        write(login(request, path));
        return;
    }
    answer(request, path);
}

HttpSession::Response HttpSession::login(const Request& request, std::string_view path) const {
    // An absolute address: a path such as "//elsewhere.example/" must not leave this origin.
    Response response{http::status::found, request.version()};
    response.set(http::field::location,
                 "http://" + std::string(request[http::field::host]) + std::string(path));
    response.set(http::field::set_cookie,
                 settings_->cookie() + "; Path=/; HttpOnly; SameSite=Strict");
    response.set(http::field::cache_control, "no-store");
    response.prepare_payload();
    response.keep_alive(request.keep_alive());
    return response;
}

void HttpSession::answer(const Request& request, std::string_view path) {
    if (settings_->devServer && !path.starts_with("/files/") && path != "/musicshell-bridge.js" &&
        path != "/musicshell-bridge.d.ts") {
        std::make_shared<DevServerProxy>(stream_.get_executor(), *settings_->devServer)
            ->forward(request, [self = shared_from_this()](Response response) {
                self->write(std::move(response));
            });
        return;
    }
    auto decoded = web_access::percentDecoded(path);
    auto found = decoded ? find(*decoded) : std::nullopt;
    // A page that routes on its own side is reloaded at one of its routes: it gets its index,
    // as at its first load.
    if (!found && decoded && request.method() == http::verb::get &&
        web_access::isPageRoute(*decoded, request[http::field::accept])) {
        found = find("/");
    }
    if (!found) {
        write(notFound(request));
        return;
    }
    auto& [file, name] = *found;
    sendFile(request, std::move(file), web_access::contentType(name));
}

std::optional<std::pair<ServedFile, std::filesystem::path>> HttpSession::find(
    std::string_view path) const {
    const auto& settings = *settings_;
    std::filesystem::path name;
    std::optional<ServedFile> file;
    if (path == "/musicshell-bridge.js" || path == "/musicshell-bridge.d.ts" ||
        path == "/musicshell-media-session.js") {
        name = settings.clientDirectory / path.substr(1);
        file = ServedFile::open(name);
    } else if (path.starts_with("/files/")) {
        name = path;
        file = web_access::containerFile(settings.container, path);
    } else if (auto found = web_access::staticFile(settings.appDirectory, path)) {
        name = *found;
        file = ServedFile::open(name);
    }
    if (!file) {
        return std::nullopt;
    }
    return std::pair{std::move(*file), std::move(name)};
}

HttpSession::Response HttpSession::notFound(const Request& request) const {
    Response missing{http::status::not_found, request.version()};
    missing.set(http::field::content_type, "text/plain; charset=utf-8");
    missing.body() = "Not found";
    missing.prepare_payload();
    missing.keep_alive(request.keep_alive());
    return missing;
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

void HttpSession::write(Response response) {
    auto shared = std::make_shared<Response>(std::move(response));
    http::async_write(stream_, *shared,
                      [self = shared_from_this(), shared](beast::error_code error, std::size_t) {
                          self->finish(error, shared->keep_alive());
                      });
}

struct HttpSession::Body {
    ServedFile file;
    std::uint64_t next = 0;
    std::uint64_t remaining = 0;
};

void HttpSession::sendFile(const Request& request, ServedFile file, std::string_view contentType) {
    auto optional = [&](http::field name) -> std::optional<std::string_view> {
        auto found = request.find(name);
        return found == request.end() ? std::nullopt
                                      : std::optional<std::string_view>(found->value());
    };
    FileReply reply =
        FileReply::plan(file, contentType,
                        {request.method() == http::verb::head, optional(http::field::range),
                         optional(http::field::if_range), optional(http::field::if_none_match)});
    auto header = std::make_shared<http::response<http::empty_body>>(
        static_cast<http::status>(reply.status), request.version());
    for (const auto& [name, value] : reply.headers) {
        header->set(name, value);
    }
    header->keep_alive(request.keep_alive());
    auto body = std::make_shared<Body>(Body{std::move(file), reply.first, reply.length});
    stream_.expires_after(sendTimeout);
    http::async_write(
        stream_, *header,
        [self = shared_from_this(), header, body](beast::error_code error, std::size_t) {
            if (error) {
                self->finish(error, false);
                return;
            }
            self->sendBody(body, header->keep_alive());
        });
}

void HttpSession::sendBody(std::shared_ptr<Body> body, bool keepAlive) {
    if (body->remaining == 0) {
        finish({}, keepAlive);
        return;
    }
    // The kernel copies from the page cache to the socket as fast as the client takes it: no
    // buffer of ours, and no waiting but for the socket to have room.
    auto& socket = stream_.socket();
    boost::system::error_code ignored;
    socket.native_non_blocking(true, ignored);
    ssize_t sent = body->file.sendTo(socket.native_handle(), body->next,
                                     std::min(body->remaining, chunkBytes));
    if (sent > 0) {
        body->next += static_cast<std::uint64_t>(sent);
        body->remaining -= static_cast<std::uint64_t>(sent);
    } else if (sent == 0 || errno != EAGAIN) {
        // The file shrank or failed under us: the promised length cannot be kept.
        platform::log("web: a file ended before its announced length; connection closed");
        finish({}, false);
        return;
    }
    sendDeadline_.expires_after(sendTimeout);
    sendDeadline_.async_wait([weak = weak_from_this()](beast::error_code error) {
        if (auto self = weak.lock(); self && !error) {
            self->stream_.socket().cancel();  // a client that stopped taking the file
        }
    });
    socket.async_wait(boost::asio::ip::tcp::socket::wait_write,
                      [self = shared_from_this(), body, keepAlive](beast::error_code error) {
                          self->sendDeadline_.cancel();
                          if (error) {
                              self->finish(error, false);
                              return;
                          }
                          self->sendBody(body, keepAlive);
                      });
}

void HttpSession::finish(beast::error_code error, bool keepAlive) {
    if (error || !keepAlive) {
        beast::error_code ignored;
        stream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
        return;
    }
    read();
}

}  // namespace host

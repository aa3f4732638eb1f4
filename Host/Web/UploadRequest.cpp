#include "Host/Web/UploadRequest.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include <boost/asio/post.hpp>

#include "Host/Core/MessageLine.h"
#include "Host/Web/WebAccess.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace host {

namespace {
// Large enough that the disk, not the count of calls, sets the pace.
constexpr std::size_t chunkBytes = 1 << 20;
constexpr auto bodyTimeout = std::chrono::seconds(60);
constexpr auto sendTimeout = std::chrono::seconds(60);
// Long enough for a client to read a refusal while it is still sending, short enough that one
// that never stops gives its connection back soon.
constexpr auto discardTimeout = std::chrono::seconds(5);

std::pair<std::string_view, std::string_view> split(std::string_view target) {
    std::size_t mark = target.find('?');
    if (mark == std::string_view::npos) {
        return {target, {}};
    }
    return {target.substr(0, mark), target.substr(mark + 1)};
}

std::optional<std::string> callText(std::string_view target) {
    auto text = web_access::queryParameter(split(target).second, "call");
    return text ? web_access::percentDecoded(*text) : std::nullopt;
}
}  // namespace

bool UploadRequest::takes(const Parser& parser, const WebServerSettings& settings) {
    const auto& header = parser.get();
    return settings.staging != nullptr && header.method() == http::verb::post &&
           split(header.target()).first == "/bridge";
}

UploadRequest::UploadRequest(beast::tcp_stream stream, beast::flat_buffer buffer, Parser& parser,
                             std::shared_ptr<const WebServerSettings> settings, ConnectionSlot slot)
    : stream_(std::move(stream)),
      buffer_(std::move(buffer)),
      contentLength_(parser.content_length() ? std::optional(*parser.content_length())
                                             : std::nullopt),
      request_(parser.release()),
      settings_(std::move(settings)),
      slot_(std::move(slot)) {}

void UploadRequest::run() {
    if (auto refused = refusal()) {
        refuse(refused->first, refused->second);
        return;
    }
    auto staged = settings_->staging->stage();
    if (!staged.ok()) {
        write(http::status::internal_server_error, "text/plain; charset=utf-8",
              "Write failed: " + staged.error().description);
        return;
    }
    staged_ = std::move(staged.value());
    remaining_ = *contentLength_;
    chunk_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, chunkBytes)));
    stageBuffered();
}

std::optional<std::pair<http::status, std::string_view>> UploadRequest::refusal() const {
    const auto& settings = *settings_;
    if (!web_access::isOwnHost(request_[http::field::host], settings.port)) {
        return std::pair{http::status::forbidden, "Forbidden host"};
    }
    auto cookie = web_access::cookie(request_[http::field::cookie], settings.cookieName);
    if (!cookie || !web_access::sameSecret(*cookie, settings.sessionSecret)) {
        return std::pair{http::status::forbidden, "Forbidden"};
    }
    // A form on any site can post to loopback with the user's cookie; only the page's own
    // origin may write.
    if (!web_access::isOwnOrigin(request_[http::field::origin], settings.port)) {
        return std::pair{http::status::forbidden, "Forbidden origin"};
    }
    if (!callText(request_.target())) {
        return std::pair{http::status::bad_request, "No call in the address"};
    }
    // The length is checked before a byte is staged, so a refused body never reaches the disk.
    if (!contentLength_) {
        return std::pair{http::status::length_required, "Length required"};
    }
    if (*contentLength_ > settings.maxMessageBytes) {
        return std::pair{http::status::payload_too_large, "Request too large"};
    }
    return std::nullopt;
}

void UploadRequest::refuse(http::status status, std::string_view text) {
    settings_->refusalLog->log("web: refused: " + std::string(text) + " (POST " +
                               std::string(split(request_.target()).first) + ", host " +
                               std::string(request_[http::field::host]) + ")");
    write(status, "text/plain; charset=utf-8", std::string(text));
}

void UploadRequest::stageBuffered() {
    auto buffered = buffer_.cdata();
    auto take = static_cast<std::size_t>(std::min<std::uint64_t>(buffered.size(), remaining_));
    if (take > 0 && !stage({static_cast<const char*>(buffered.data()), take})) {
        return;
    }
    buffer_ = {};
    readBody();
}

void UploadRequest::readBody() {
    if (remaining_ == 0) {
        deliver();
        return;
    }
    // A deadline for each piece, not the whole: a large body on a slow link still arrives.
    stream_.expires_after(bodyTimeout);
    auto room = static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, chunk_.size()));
    stream_.async_read_some(asio::buffer(chunk_.data(), room),
                            [self = shared_from_this()](beast::error_code error, std::size_t got) {
                                // A client that went away or stalled takes its staged bytes with
                                // it, and there is no one left to answer.
                                if (!error && self->stage({self->chunk_.data(), got})) {
                                    self->readBody();
                                }
                            });
}

bool UploadRequest::stage(std::string_view bytes) {
    if (auto error = staged_->append(bytes)) {
        staged_.reset();
        write(http::status::internal_server_error, "text/plain; charset=utf-8",
              "Write failed: " + error->description);
        return false;
    }
    remaining_ -= bytes.size();
    return true;
}

void UploadRequest::deliver() {
    chunk_ = {};
    // From here the answer takes as long as the call does.
    stream_.expires_never();
    RequestRouter router(settings_->bridge, nullptr);
    auto routed = router.route(*callText(request_.target()), shared_from_this(), [this](Request&) {
        return std::optional(RequestRouter::Carried{std::nullopt, CAPPayload(std::move(staged_))});
    });
    if (routed.call) {
        settings_->bridge->deliverLater(routed.call->first, std::move(routed.call->second));
    } else if (routed.answer) {
        respond(routed.answer->first, std::move(routed.answer->second));
    }
}

void UploadRequest::respond(const std::string& callbackId, CAPCallResult result) {
    asio::post(stream_.get_executor(),
               [self = shared_from_this(), text = MessageLine::answerText(callbackId, result)] {
                   self->write(http::status::ok, "application/json", text);
               });
}

void UploadRequest::write(http::status status, std::string_view contentType, std::string body) {
    if (std::exchange(answered_, true)) {
        return;
    }
    auto response = std::make_shared<http::response<http::string_body>>(status, request_.version());
    response->set(http::field::content_type, contentType);
    response->set(http::field::cache_control, "no-store");
    response->body() = std::move(body);
    response->prepare_payload();
    response->keep_alive(false);
    stream_.expires_after(sendTimeout);
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code error, std::size_t) {
                          if (error) {
                              return;
                          }
                          beast::error_code ignored;
                          self->stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_send,
                                                          ignored);
                          self->stream_.expires_after(discardTimeout);
                          self->discard();
                      });
}

void UploadRequest::discard() {
    chunk_.resize(64 * 1024);
    stream_.async_read_some(asio::buffer(chunk_),
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                if (!error) {
                                    self->discard();
                                }
                            });
}

}  // namespace host

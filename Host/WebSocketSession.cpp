#include "Host/WebSocketSession.h"

#include <boost/asio/post.hpp>

#include "Platform/Log.h"

namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace host {

WebSocketSession::WebSocketSession(beast::tcp_stream stream, std::shared_ptr<Bridge> bridge,
                                   std::size_t maxMessageBytes)
    : stream_(std::move(stream)), bridge_(std::move(bridge)) {
    stream_.read_message_max(maxMessageBytes);
}

void WebSocketSession::run(Upgrade upgrade) {
    beast::get_lowest_layer(stream_).expires_never();
    stream_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
    stream_.async_accept(upgrade, [self = shared_from_this()](beast::error_code error) {
        if (error) {
            platform::log("bridge connection refused: " + error.message());
            return;
        }
        self->open_ = true;
        self->bridge_->addEventSink(self);
        self->read();
    });
}

void WebSocketSession::read() {
    stream_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
        if (error) {
            self->open_ = false;
            if (error == websocket::error::message_too_big) {
                platform::log("bridge message over the size limit; connection closed");
            }
            return;
        }
        auto data = self->buffer_.cdata();
        std::string message;
        message.reserve(data.size() + RequestParser::padding());
        message.assign(static_cast<const char*>(data.data()), data.size());
        self->buffer_.consume(self->buffer_.size());
        self->buffer_.shrink_to_fit();
        self->handle(std::move(message));
        self->read();
    });
}

void WebSocketSession::handle(std::string message) {
    ParsedRequest parsed = parser_.parse(std::move(message));
    if (!parsed.request) {
        send(MessageLine::answerText(parsed.id, {false, std::nullopt, parsed.error}));
        return;
    }
    Request& request = *parsed.request;
    if (!request.host.empty()) {
        send(MessageLine::answerText(
            request.id, {false, std::nullopt, "Host requests are not accepted over the bridge"}));
        return;
    }
    bridge_->deliverLater(request.plugin,
                          CAPPluginCall(std::move(request.id), std::move(request.method),
                                        std::move(request.options), shared_from_this()));
}

void WebSocketSession::respond(const std::string& callbackId, CAPCallResult result) {
    send(MessageLine::answerText(callbackId, result));
}

void WebSocketSession::deliverEvent(std::string_view pluginName, std::string_view eventName,
                                    const JSObject& data) {
    send(MessageLine::eventText(pluginName, eventName, data));
}

void WebSocketSession::send(std::string text) {
    boost::asio::post(stream_.get_executor(),
                      [self = shared_from_this(), text = std::move(text)]() mutable {
                          if (!self->open_) {
                              return;
                          }
                          self->outgoing_.push_back(std::move(text));
                          if (self->outgoing_.size() == 1) {
                              self->writeNext();
                          }
                      });
}

void WebSocketSession::writeNext() {
    stream_.text(true);
    stream_.async_write(boost::asio::buffer(outgoing_.front()),
                        [self = shared_from_this()](beast::error_code error, std::size_t) {
                            self->outgoing_.pop_front();
                            if (error) {
                                self->open_ = false;
                                self->outgoing_.clear();
                                return;
                            }
                            if (!self->outgoing_.empty()) {
                                self->writeNext();
                            }
                        });
}

}  // namespace host

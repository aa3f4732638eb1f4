#include "Host/Web/WebSocketSession.h"

#include <utility>

#include <boost/asio/post.hpp>

#include "Platform/Log.h"

namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace host {

WebSocketSession::WebSocketSession(beast::tcp_stream stream, std::shared_ptr<Bridge> bridge,
                                   std::weak_ptr<PagePresence> presence,
                                   std::size_t maxMessageBytes, ConnectionSlot slot)
    : stream_(std::move(stream)),
      bridge_(bridge),
      presence_(std::move(presence)),
      requests_(std::move(bridge), nullptr),
      slot_(std::move(slot)) {
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
        if (auto presence = self->presence_.lock()) {
            presence->pageOpened();
            self->present_ = true;
        }
        self->bridge_->addEventSink(self);
        self->read();
    });
}

void WebSocketSession::read() {
    stream_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
        if (error) {
            self->open_ = false;
            auto presence = self->presence_.lock();
            if (presence && std::exchange(self->present_, false)) {
                presence->pageClosed();
            }
            if (error == websocket::error::message_too_big) {
                platform::log("bridge message over the size limit; connection closed");
            }
            return;
        }
        auto data = self->buffer_.cdata();
        std::string_view message(static_cast<const char*>(data.data()), data.size());
        std::optional<std::string> bytes;
        if (self->stream_.got_binary()) {
            // A call's JSON text, a line end, then the bytes of its "data" as they are.
            std::size_t end = message.find('\n');
            if (end == std::string_view::npos) {
                self->send(MessageLine::answerText(
                    "null", {false, std::nullopt,
                             "Malformed request: no line end after the call in a binary message"}));
                self->buffer_.consume(self->buffer_.size());
                self->read();
                return;
            }
            bytes = std::string(message.substr(end + 1));
            message = message.substr(0, end);
        }
        std::string text;
        text.reserve(message.size() + RequestParser::padding());
        text.assign(message);
        self->buffer_.consume(self->buffer_.size());
        self->buffer_.shrink_to_fit();
        self->requests_.handle(std::move(text), std::move(bytes), self);
        self->read();
    });
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
                          self->enqueue(std::move(text));
                      });
}

void WebSocketSession::enqueue(std::string text) {
    if (!open_) {
        return;
    }
    if (!outgoing_.push(std::move(text))) {
        cutOff();
        return;
    }
    if (outgoing_.size() == 1) {
        writeNext();
    }
}

void WebSocketSession::cutOff() {
    platform::log("bridge: a page stopped reading with " + std::to_string(outgoing_.size() - 1) +
                  " messages waiting; its connection is closed");
    open_ = false;
    // The message being written stays until its write ends, which closing makes happen at once.
    outgoing_.dropWaiting();
    // Reset, not a polite close: a close frame would wait behind what the page does not read.
    auto& socket = beast::get_lowest_layer(stream_).socket();
    beast::error_code ignored;
    socket.set_option(boost::asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
}

void WebSocketSession::writeNext() {
    stream_.text(true);
    stream_.async_write(boost::asio::buffer(outgoing_.front()),
                        [self = shared_from_this()](beast::error_code error, std::size_t) {
                            self->outgoing_.pop();
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

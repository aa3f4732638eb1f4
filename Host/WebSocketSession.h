#pragma once

#include <deque>
#include <memory>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "Host/Bridge.h"
#include "Host/MessageCodec.h"

namespace host {

// One page connected to the bridge: plugin calls, answers and events of the stdio protocol, one
// JSON object a text message. Host requests are not taken here: a page is no operating system.
// Everything but `respond` and `deliverEvent` runs on the server's one network thread; those two
// are safe from any thread and hand their message to it.
class WebSocketSession : public CAPCallResponder,
                         public EventSink,
                         public std::enable_shared_from_this<WebSocketSession> {
public:
    using Upgrade = boost::beast::http::request<boost::beast::http::string_body>;

    WebSocketSession(boost::beast::tcp_stream stream, std::shared_ptr<Bridge> bridge,
                     std::size_t maxMessageBytes);

    // Completes the upgrade the request asked for, then reads messages until the page leaves.
    void run(Upgrade upgrade);

    void respond(const std::string& callbackId, CAPCallResult result) override;
    void deliverEvent(std::string_view pluginName, std::string_view eventName,
                      const JSObject& data) override;

private:
    void read();
    void handle(std::string message);
    void send(std::string text);
    void writeNext();

    boost::beast::websocket::stream<boost::beast::tcp_stream> stream_;
    boost::beast::flat_buffer buffer_;
    std::shared_ptr<Bridge> bridge_;
    RequestParser parser_;
    std::deque<std::string> outgoing_;
    bool open_ = false;
};

}  // namespace host

#pragma once

#include <memory>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include "Host/Core/Bridge.h"
#include "Host/Core/MessageLine.h"
#include "Host/Core/PageBacklog.h"
#include "Host/Core/PagePresence.h"
#include "Host/Core/RequestParser.h"
#include "Host/Core/RequestRouter.h"

namespace host {

// Held by a connection for its whole life, through an upgrade to a WebSocket: the server counts
// its open connections by these, and accepts again when one goes.
using ConnectionSlot = std::shared_ptr<void>;

// One page connected to the bridge: plugin calls, answers and events of the stdio protocol, one
// JSON object a text message. A call may also come as one binary message: its JSON text, a line
// end, then the bytes of its "data", handed to the plugin as they are, without base64. Host
// requests are not taken here: a page is no operating system. Everything but `respond` and
// `deliverEvent` runs on the server's one network thread; those two are safe from any thread and
// hand their message to it. A page that stops reading is cut off once too many messages wait behind
// the one being written; its calls are then lost to it.
class WebSocketSession : public CAPCallResponder,
                         public EventSink,
                         public std::enable_shared_from_this<WebSocketSession> {
public:
    using Upgrade = boost::beast::http::request<boost::beast::http::string_body>;

    WebSocketSession(boost::beast::tcp_stream stream, std::shared_ptr<Bridge> bridge,
                     std::weak_ptr<PagePresence> presence, std::size_t maxMessageBytes,
                     ConnectionSlot slot);

    // Completes the upgrade the request asked for, then reads messages until the page leaves.
    void run(Upgrade upgrade);

    void respond(const std::string& callbackId, CAPCallResult result) override;
    void deliverEvent(std::string_view pluginName, std::string_view eventName,
                      const JSObject& data) override;

private:
    void read();
    void send(std::string text);
    void enqueue(std::string text);
    void cutOff();
    void writeNext();

    boost::beast::websocket::stream<boost::beast::tcp_stream> stream_;
    boost::beast::flat_buffer buffer_;
    std::shared_ptr<Bridge> bridge_;
    std::weak_ptr<PagePresence> presence_;
    RequestRouter requests_;
    PageBacklog outgoing_;
    bool open_ = false;
    ConnectionSlot slot_;
    bool present_ = false;  // counted among the connected pages
};

}  // namespace host

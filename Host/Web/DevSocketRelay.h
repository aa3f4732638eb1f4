#pragma once

#include <array>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "Host/Web/DevServerProxy.h"
#include "Host/Web/WebSocketSession.h"

namespace host {

// Carries a WebSocket upgrade that is not the bridge's (a development server's live reload) to
// the development server, then the bytes of both sides as they come, unread: the server's own
// answer to the upgrade decides what follows. Runs on the network thread; lives, and holds its
// connection slot, until either side ends.
class DevSocketRelay : public std::enable_shared_from_this<DevSocketRelay> {
public:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;

    // `pending` holds what the client sent after the upgrade request, if anything.
    DevSocketRelay(boost::beast::tcp_stream client, boost::beast::flat_buffer pending,
                   DevServerProxy::Server server, ConnectionSlot slot);

    // The request has passed the login, Host and Origin checks of the shell's own origin.
    void run(Request request);

private:
    using Chunk = std::array<char, 16 * 1024>;

    void send();
    void relay(boost::beast::tcp_stream& from, boost::beast::tcp_stream& to, Chunk& chunk);
    void fail(const boost::beast::error_code& error);
    void close();

    boost::beast::tcp_stream client_;
    boost::beast::flat_buffer pending_;
    DevServerProxy::Server server_;
    ConnectionSlot slot_;
    boost::asio::ip::tcp::resolver resolver_;
    boost::beast::tcp_stream upstream_;
    Request request_;
    Chunk fromClient_{};
    Chunk fromServer_{};
};

}  // namespace host

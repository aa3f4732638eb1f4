#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace host {

// Fetches one request for the application's pages from a development server on loopback, so the
// page it serves comes from the shell's own origin: the login, /bridge and /files/ work as they
// do for pages served from the application's folder. Runs on the network thread.
class DevServerProxy : public std::enable_shared_from_this<DevServerProxy> {
public:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;

    struct Server {
        std::string authority;  // for the Host header
        std::string host;
        std::string port;
        // From "http://HOST[:PORT]", as the manifest has checked it.
        static Server fromOrigin(std::string_view origin);
        // Resolves the server and connects `stream` to it, under a deadline that stays on the
        // stream until changed; `done` gets the failure, or none.
        void connect(boost::asio::ip::tcp::resolver& resolver, boost::beast::tcp_stream& stream,
                     std::function<void(boost::beast::error_code)> done) const;
    };

    DevServerProxy(boost::asio::any_io_executor executor, Server server);

    // Calls `done` once, with the server's answer, or a 502 when it gives none.
    void forward(const Request& request, std::function<void(Response)> done);

private:
    void send();
    void receive();
    void fail(std::string_view why);

    Server server_;
    boost::asio::ip::tcp::resolver resolver_;
    boost::beast::tcp_stream stream_;
    boost::beast::flat_buffer buffer_;
    Request request_;
    std::optional<boost::beast::http::response_parser<boost::beast::http::string_body>> parser_;
    std::function<void(Response)> done_;
    unsigned version_ = 11;
    bool keepAlive_ = false;
};

}  // namespace host

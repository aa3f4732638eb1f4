#include "Host/Web/DevSocketRelay.h"

#include <boost/asio/write.hpp>

#include "Platform/Log.h"

namespace beast = boost::beast;
namespace http = beast::http;

namespace host {

DevSocketRelay::DevSocketRelay(beast::tcp_stream client, beast::flat_buffer pending,
                               DevServerProxy::Server server, ConnectionSlot slot)
    : client_(std::move(client)),
      pending_(std::move(pending)),
      server_(std::move(server)),
      slot_(std::move(slot)),
      resolver_(client_.get_executor()),
      upstream_(client_.get_executor()) {}

void DevSocketRelay::run(Request request) {
    request_ = std::move(request);
    // The development server sees a page of its own origin, as without the shell, and never the
    // shell's login.
    request_.erase(http::field::cookie);
    request_.set(http::field::host, server_.authority);
    if (request_.count(http::field::origin) != 0) {
        request_.set(http::field::origin, "http://" + server_.authority);
    }
    server_.connect(resolver_, upstream_, [self = shared_from_this()](beast::error_code error) {
        if (error) {
            self->fail(error);
            return;
        }
        self->send();
    });
}

void DevSocketRelay::send() {
    http::async_write(upstream_, request_,
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                          if (error) {
                              self->fail(error);
                              return;
                          }
                          boost::asio::async_write(
                              self->upstream_, self->pending_.data(),
                              [self](beast::error_code failed, std::size_t) {
                                  if (failed) {
                                      self->fail(failed);
                                      return;
                                  }
                                  // A live-reload socket stays open, silent, for as long as the
                                  // page is.
                                  self->client_.expires_never();
                                  self->upstream_.expires_never();
                                  self->relay(self->client_, self->upstream_, self->fromClient_);
                                  self->relay(self->upstream_, self->client_, self->fromServer_);
                              });
                      });
}

void DevSocketRelay::relay(beast::tcp_stream& from, beast::tcp_stream& to, Chunk& chunk) {
    from.async_read_some(boost::asio::buffer(chunk), [self = shared_from_this(), &from, &to,
                                                      &chunk](beast::error_code error,
                                                              std::size_t length) {
        if (error) {
            self->close();
            return;
        }
        boost::asio::async_write(to, boost::asio::buffer(chunk.data(), length),
                                 [self, &from, &to, &chunk](beast::error_code failed, std::size_t) {
                                     if (failed) {
                                         self->close();
                                         return;
                                     }
                                     self->relay(from, to, chunk);
                                 });
    });
}

void DevSocketRelay::fail(const beast::error_code& error) {
    platform::log("dev: no answer from the development server at " + server_.authority + ": " +
                  error.message());
    auto response = std::make_shared<http::response<http::string_body>>(http::status::bad_gateway,
                                                                        request_.version());
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    response->body() = "No answer from the development server";
    response->prepare_payload();
    response->keep_alive(false);
    http::async_write(
        client_, *response,
        [self = shared_from_this(), response](beast::error_code, std::size_t) { self->close(); });
}

// Either side's end ends the other's: what is pending on both returns, and the last handler
// lets the relay go.
void DevSocketRelay::close() {
    beast::error_code ignored;
    client_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    upstream_.socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
}

}  // namespace host

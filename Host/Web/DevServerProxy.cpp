#include "Host/Web/DevServerProxy.h"

#include "Platform/Log.h"
#include "Platform/URI.h"

namespace beast = boost::beast;
namespace http = beast::http;

namespace host {

namespace {
constexpr auto timeout = std::chrono::seconds(30);
// A page's script bundles, not its media: those are served from the container.
constexpr std::uint64_t bodyLimit = std::uint64_t{256} << 20;
}  // namespace

DevServerProxy::Server DevServerProxy::Server::fromOrigin(std::string_view origin) {
    auto address = platform::serverAddress(origin).value_or(platform::ServerAddress{});
    Server server;
    bool ipv6 = address.host.find(':') != std::string::npos;
    server.authority = (ipv6 ? "[" + address.host + "]" : address.host) +
                       (address.port.empty() ? "" : ":" + address.port);
    server.host = address.host;
    server.port = address.port.empty() ? "80" : address.port;
    return server;
}

void DevServerProxy::Server::connect(boost::asio::ip::tcp::resolver& resolver,
                                     beast::tcp_stream& stream,
                                     std::function<void(beast::error_code)> done) const {
    resolver.async_resolve(
        host, port,
        [&stream, done = std::move(done)](beast::error_code error,
                                          boost::asio::ip::tcp::resolver::results_type results) {
            if (error) {
                done(error);
                return;
            }
            stream.expires_after(timeout);
            stream.async_connect(results,
                                 [done](beast::error_code failed, const auto&) { done(failed); });
        });
}

DevServerProxy::DevServerProxy(boost::asio::any_io_executor executor, Server server)
    : server_(std::move(server)), resolver_(executor), stream_(executor) {}

void DevServerProxy::forward(const Request& request, std::function<void(Response)> done) {
    done_ = std::move(done);
    version_ = request.version();
    keepAlive_ = request.keep_alive();
    request_ = request;
    // The shell's login is the shell's own; the development server sees a plain request.
    request_.erase(http::field::cookie);
    request_.set(http::field::host, server_.authority);
    request_.keep_alive(false);
    request_.version(11);
    server_.connect(resolver_, stream_, [self = shared_from_this()](beast::error_code error) {
        if (error) {
            self->fail(error.message());
            return;
        }
        self->send();
    });
}

void DevServerProxy::send() {
    http::async_write(stream_, request_,
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                          if (error) {
                              self->fail(error.message());
                              return;
                          }
                          self->receive();
                      });
}

void DevServerProxy::receive() {
    parser_.emplace();
    parser_->body_limit(bodyLimit);
    // An answer to HEAD announces a body it does not carry.
    bool head = request_.method() == http::verb::head;
    parser_->skip(head);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this(), head](beast::error_code error, std::size_t) {
                         if (error) {
                             self->fail(error.message());
                             return;
                         }
                         Response response = self->parser_->release();
                         response.erase(http::field::transfer_encoding);
                         response.erase(http::field::connection);
                         response.version(self->version_);
                         response.keep_alive(self->keepAlive_);
                         if (!head) {
                             response.prepare_payload();
                         }
                         self->done_(std::move(response));
                     });
}

void DevServerProxy::fail(std::string_view why) {
    platform::log("dev: no answer from the development server at " + server_.authority + ": " +
                  std::string(why));
    Response response{http::status::bad_gateway, version_};
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = "No answer from the development server";
    response.prepare_payload();
    response.keep_alive(false);
    done_(std::move(response));
}

}  // namespace host

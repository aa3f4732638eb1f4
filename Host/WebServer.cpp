#include "Host/WebServer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "Host/WebAccess.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace host {

struct WebServer::Listener : std::enable_shared_from_this<Listener> {
    Listener(asio::io_context& context, std::shared_ptr<const WebServerSettings> serverSettings,
             unsigned short port)
        : acceptor(context, tcp::endpoint(asio::ip::make_address("127.0.0.1"), port)),
          settings(std::move(serverSettings)) {}

    void accept() {
        acceptor.async_accept(
            [self = shared_from_this()](boost::system::error_code error, tcp::socket socket) {
                if (error == asio::error::operation_aborted) {
                    return;
                }
                if (!error) {
                    // Calls and answers are small messages that should not wait for more to send.
                    boost::system::error_code ignored;
                    socket.set_option(tcp::no_delay(true), ignored);
                    std::make_shared<HttpSession>(std::move(socket), self->settings)->run();
                }
                self->accept();
            });
    }

    tcp::acceptor acceptor;
    std::shared_ptr<const WebServerSettings> settings;
};

WebServer::WebServer(std::shared_ptr<Bridge> bridge, Options options)
    : settings_(std::make_shared<WebServerSettings>()),
      context_(std::make_unique<asio::io_context>(1)) {
    settings_->appDirectory = std::move(options.appDirectory);
    settings_->clientDirectory = std::move(options.clientDirectory);
    settings_->token = web_access::randomToken();
    settings_->sessionSecret = web_access::randomToken();
    settings_->maxMessageBytes = options.maxMessageBytes;
    settings_->bridge = std::move(bridge);
    listener_ = std::make_shared<Listener>(*context_, settings_, options.port);
    settings_->port = listener_->acceptor.local_endpoint().port();
    listener_->accept();
    thread_ = std::thread([this] { context_->run(); });
}

WebServer::~WebServer() {
    stop();
}

std::string WebServer::address() const {
    return "http://127.0.0.1:" + std::to_string(settings_->port) + "/?token=" + settings_->token;
}

void WebServer::stop() {
    context_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace host

#include "Host/Web/WebServer.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Host/Web/LoginSocket.h"
#include "Host/Web/WebAccess.h"
#include "Platform/Log.h"
#include "Platform/Posix/FileDescriptor.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace host {

namespace {
// After a failed accept, most likely for want of descriptors: long enough not to spin, short
// enough that a page hardly notices once one is free.
constexpr auto acceptRetryDelay = std::chrono::milliseconds(100);

// Lines a stranger can make the server log: a few a second, however many the causes.
constexpr std::size_t strangerLogLines = 10;
constexpr auto strangerLogInterval = std::chrono::seconds(1);
// Long enough for a page to reload, short enough that the widget soon stops its clock.
constexpr auto pageGrace = std::chrono::seconds(3);
}  // namespace

struct WebServer::Listener : std::enable_shared_from_this<Listener> {
    Listener(asio::io_context& context, std::shared_ptr<const WebServerSettings> serverSettings,
             unsigned short port, std::size_t connectionLimit)
        : acceptor(context),
          retryTimer(context),
          settings(std::move(serverSettings)),
          maxConnections(connectionLimit) {
        // Asio opens and accepts sockets that a child would inherit: these are close-on-exec
        // from the start.
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            throw boost::system::system_error(errno, boost::system::system_category(), "socket");
        }
        acceptor.assign(tcp::v4(), fd);
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        acceptor.listen();
        acceptor.native_non_blocking(true);
    }

    void accept() {
        if (openConnections >= maxConnections) {
            // Accepting again is up to the connection that closes next.
            waitingForSlot = true;
            log.log("web: " + std::to_string(openConnections) +
                    " connections open, the most allowed; new ones wait until one closes");
            return;
        }
        acceptor.async_wait(
            tcp::acceptor::wait_read, [self = shared_from_this()](boost::system::error_code error) {
                if (error == asio::error::operation_aborted) {
                    return;
                }
                tcp::socket socket(self->acceptor.get_executor());
                if (!error) {
                    error = self->acceptOne(socket);
                }
                // The connection went before it was taken: nothing to say about it.
                if (error == asio::error::would_block || error == asio::error::connection_aborted ||
                    error.value() == EPROTO) {
                    self->accept();
                    return;
                }
                if (error) {
                    self->retryLater(error);
                    return;
                }
                // Calls and answers are small messages that should not wait for more to send.
                boost::system::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                std::make_shared<HttpSession>(std::move(socket), self->settings, self->takeSlot())
                    ->run();
                self->accept();
            });
    }

    boost::system::error_code acceptOne(tcp::socket& socket) {
        FileDescriptor fd(::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd.valid()) {
            return {errno, boost::system::system_category()};
        }
        boost::system::error_code error;
        socket.assign(tcp::v4(), fd.get(), error);
        if (!error) {
            fd.release();  // the socket owns it now
        }
        return error;
    }

    // The pending connection stays queued in the kernel until then.
    void retryLater(boost::system::error_code error) {
        log.log("web: cannot accept a connection (" + error.message() + "); trying again shortly");
        retryTimer.expires_after(acceptRetryDelay);
        retryTimer.async_wait([self = shared_from_this()](boost::system::error_code timerError) {
            if (!timerError) {
                self->accept();
            }
        });
    }

    ConnectionSlot takeSlot() {
        ++openConnections;
        return ConnectionSlot(nullptr, [weak = weak_from_this()](void*) {
            if (auto self = weak.lock()) {
                self->releaseSlot();
            }
        });
    }

    void releaseSlot() {
        --openConnections;
        if (waitingForSlot) {
            waitingForSlot = false;
            accept();
        }
    }

    tcp::acceptor acceptor;
    asio::steady_timer retryTimer;
    std::shared_ptr<const WebServerSettings> settings;
    std::size_t maxConnections;
    std::size_t openConnections = 0;
    bool waitingForSlot = false;
    LogThrottle log{strangerLogLines, strangerLogInterval};
};

WebServer::WebServer(std::shared_ptr<Bridge> bridge, Options options)
    : settings_(std::make_shared<WebServerSettings>()),
      context_(std::make_unique<asio::io_context>(1)) {
    settings_->appDirectory = std::move(options.appDirectory);
    settings_->clientDirectory = std::move(options.clientDirectory);
    settings_->container = std::move(options.container);
    settings_->tokens = std::make_shared<LoginTokens>();
    settings_->sessionSecret = web_access::randomToken();
    settings_->maxMessageBytes = options.maxMessageBytes;
    settings_->staging = options.staging;
    settings_->headerTimeout = options.headerTimeout;
    if (options.devUrl) {
        settings_->devServer = DevServerProxy::Server::fromOrigin(*options.devUrl);
    }
    presence_ = std::make_shared<PagePresence>(context_->get_executor(), bridge, pageGrace);
    settings_->presence = presence_;
    settings_->bridge = std::move(bridge);
    settings_->refusalLog = std::make_shared<LogThrottle>(strangerLogLines, strangerLogInterval);
    listener_ =
        std::make_shared<Listener>(*context_, settings_, options.port, options.maxConnections);
    settings_->port = listener_->acceptor.local_endpoint().port();
    settings_->cookieName = options.cookiePrefix + "-" + std::to_string(settings_->port);
    listener_->accept();
    if (options.login) {
        try {
            login_ = std::make_shared<LoginSocket>(*context_, settings_->container,
                                                   [this] { return newAddress(); });
            login_->accept();
        } catch (const std::system_error& error) {
            platform::log(std::string("web: `musicshell login` cannot reach this server (") +
                          error.what() + "); only the printed address logs in");
        }
    }
    thread_ = std::thread([this] { context_->run(); });
}

WebServer::~WebServer() {
    stop();
    // Its timer belongs to the I/O context, which must outlive it.
    presence_.reset();
}

std::string WebServer::newAddress() {
    return origin() + "/?token=" + settings_->tokens->issue();
}

std::string WebServer::origin() const {
    return "http://127.0.0.1:" + std::to_string(settings_->port);
}

std::string WebServer::sessionCookie() const {
    return settings_->cookie();
}

void WebServer::stop() {
    context_->stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

}  // namespace host

#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "Host/Core/Bridge.h"
#include "Host/Web/HttpSession.h"

namespace boost::asio {
class io_context;
}

namespace host {

class LoginSocket;

// The browser host: HTTP and WebSocket on 127.0.0.1 only, with one network thread. It serves
// the web application and carries its plugin calls and events over /bridge. It holds a bounded
// number of connections, and waits rather than spins when the process is out of descriptors.
class WebServer {
public:
    struct Options {
        std::filesystem::path appDirectory;
        std::filesystem::path clientDirectory;
        std::filesystem::path container;
        unsigned short port = 0;  // 0: any free port
        std::size_t maxMessageBytes = 0;
        // Connections held open at once; more wait to be accepted until one closes.
        std::size_t maxConnections = 512;
        // How long a connection may take to send a request's headers.
        std::chrono::steady_clock::duration headerTimeout = std::chrono::seconds(10);
        // Whether `musicshell login` may ask for fresh addresses through the container.
        bool login = false;
        // The login cookie is PREFIX-PORT.
        std::string cookiePrefix = "musicshell";
        // "http://HOST:PORT" on loopback: the application's pages come from there, not from
        // appDirectory.
        std::optional<std::string> devUrl = std::nullopt;
        // Where a page's posted bytes are staged; without it, no POST is taken.
        platform::FileSystem* staging = nullptr;
    };

    // Binds at once; throws std::system_error when the port cannot be had.
    WebServer(std::shared_ptr<Bridge> bridge, Options options);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // An address to open, holding a fresh token that logs one browser in once. Safe from any
    // thread.
    std::string newAddress();
    unsigned short port() const { return settings_->port; }
    // "http://127.0.0.1:PORT", and the Cookie header that lets a request from the shell itself in.
    std::string origin() const;
    std::string sessionCookie() const;
    // The network thread's: what else lives on that thread is run by it.
    boost::asio::io_context& context() const { return *context_; }
    // Closes every connection and joins the network thread.
    void stop();

private:
    struct Listener;

    std::shared_ptr<WebServerSettings> settings_;
    std::unique_ptr<boost::asio::io_context> context_;
    std::shared_ptr<Listener> listener_;
    std::shared_ptr<LoginSocket> login_;
    std::shared_ptr<PagePresence> presence_;
    std::thread thread_;
};

}  // namespace host

#pragma once

#include <httplib.h>

#include <string>
#include <thread>

#include "Eventually.h"

// A real HTTP server on 127.0.0.1 and a free port, for the length of a test.
class LoopbackServer {
public:
    // One request a connection, so that stopping never waits out an idle keep-alive.
    LoopbackServer() { server_.set_keep_alive_max_count(1); }
    ~LoopbackServer() { stop(); }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    httplib::Server& routes() { return server_; }

    // Call after the routes are set up. The socket listens once bound; this waits for the
    // accept loop.
    void start() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        eventually([this] { return server_.is_running(); });
    }

    void stop() {
        server_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

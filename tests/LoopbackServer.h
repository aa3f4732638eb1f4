#pragma once

#include <httplib.h>

#include <algorithm>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// A body served as a file server serves one: with an ETag, a range honoured while "If-Range"
// names the current tag. Request n (from 0) is cut off once `cuts[n]` of the body has gone out,
// and every request halts at `holdAt`; "?chunked" sends it with no length, until `release` is set.
// Each request's Range and If-Range are kept. Set up before the server starts; read `seen` under
// `mutex`.
struct RangedBody {
    std::size_t size = 200'000;
    bool ranges = true;
    bool newTagEachRequest = false;
    std::vector<double> cuts;
    std::size_t holdAt = SIZE_MAX;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::once_flag opened;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> seen;

    void open() {
        std::call_once(opened, [this] { release.set_value(); });
    }

    // The body of version `tag`: no two nearby bytes repeat, so a misplaced piece shows.
    std::string bytes(int tag) const {
        std::string body(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            body[i] = static_cast<char>((i * 7 + i / 251 + static_cast<std::size_t>(tag)) % 251);
        }
        return body;
    }

    void serve(httplib::Server& routes, const std::string& path) {
        routes.Get(path, [this](const httplib::Request& request, httplib::Response& response) {
            // The library would answer ranges itself; this server decides.
            const_cast<httplib::Request&>(request).ranges.clear();
            std::lock_guard lock(mutex);
            int n = static_cast<int>(seen.size());
            seen.emplace_back(request.get_header_value("Range"),
                              request.get_header_value("If-Range"));
            int tag = newTagEachRequest ? n : 0;
            std::string etag = "\"v" + std::to_string(tag) + "\"";
            std::size_t from = 0;
            std::string range = request.get_header_value("Range");
            if (ranges && range.starts_with("bytes=") &&
                request.get_header_value("If-Range") == etag) {
                from = std::stoul(range.substr(6));
                response.status = 206;
                response.set_header("Content-Range", "bytes " + std::to_string(from) + "-" +
                                                         std::to_string(size - 1) + "/" +
                                                         std::to_string(size));
            }
            response.set_header("ETag", etag);
            auto body = std::make_shared<std::string>(bytes(tag));
            auto stop = static_cast<std::size_t>(
                static_cast<double>(size) *
                (static_cast<std::size_t>(n) < cuts.size() ? cuts[n] : 1.0));
            auto provide = [this, body, from, stop](size_t offset, httplib::DataSink& sink) {
                std::size_t at = from + offset;
                if (at == holdAt &&
                    released.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                    return false;
                }
                std::size_t end =
                    std::min({stop, body->size(), at < holdAt ? holdAt : SIZE_MAX, at + (1 << 16)});
                if (at == body->size()) {
                    sink.done();
                    return true;
                }
                return at < end && sink.write(body->data() + at, end - at);
            };
            if (!request.has_param("chunked")) {
                response.set_content_provider(
                    size - from, "application/octet-stream",
                    [provide](size_t offset, size_t, httplib::DataSink& sink) {
                        return provide(offset, sink);
                    });
            } else {
                response.set_chunked_content_provider("application/octet-stream", provide);
            }
        });
    }
};

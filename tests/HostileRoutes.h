#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

// Servers that would hold a client for good: "/endless" sends a body that never ends, without a
// length; "/trickle" sends two bytes every 200 ms (the server's own pace, not a wait for anything).
inline void addHostileRoutes(httplib::Server& routes) {
    static const std::string chunk(1 << 16, 'x');
    routes.Get("/endless", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/octet-stream",
            [](size_t, httplib::DataSink& sink) { return sink.write(chunk.data(), chunk.size()); });
    });
    routes.Get("/trickle", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/octet-stream", [](size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                return sink.write("ab", 2);
            });
    });
}

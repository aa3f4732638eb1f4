#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "App/Bridge/CAPPluginCall.h"
#include "App/Bridge/JSObject.h"

namespace host {

// One request of a client: a plugin call (plugin, method, options) or a host request (host and
// its own members). The id is kept as the raw JSON text the client sent, to echo it unchanged.
struct Request {
    std::string id = "null";
    std::string plugin;
    std::string method;
    std::string host;
    JSObject options = JSObject::object();
    JSObject members = JSObject::object();
};

// A request, or why it could not be read (with whatever id could be read).
struct ParsedRequest {
    std::optional<Request> request;
    std::string id = "null";
    std::string error;
};

// Reads request lines. Large string values (a 64 MiB file in base64) are taken over near memory
// speed: the JSON is indexed with simdjson, and strings without escapes are copied once, straight
// out of the line. Not thread-safe: one reader per parser.
class RequestParser {
public:
    // Bytes a line buffer must have beyond its size (as capacity) for `parse`.
    static std::size_t padding();

    RequestParser();
    ~RequestParser();
    RequestParser(const RequestParser&) = delete;
    RequestParser& operator=(const RequestParser&) = delete;

    // Takes the line, whose capacity must hold `padding()` bytes beyond its size, and may hand
    // its buffer on to the request's longest string.
    ParsedRequest parse(std::string line);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace host

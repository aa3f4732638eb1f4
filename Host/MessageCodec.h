#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "App/Bridge/CAPPluginCall.h"
#include "App/Bridge/JSObject.h"
#include "Platform/Console.h"

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

    // May take over the line's buffer for the request's longest string: the line is left
    // unspecified.
    ParsedRequest parse(std::string& line);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Builds one message line from pieces; long strings that need no escaping are referenced, not
// copied, and written out with the rest in one go.
class MessageLine {
public:
    void raw(std::string_view text);
    void value(const JSObject& value);
    void print(platform::Console& console) const;
    std::string text() const;

    // {"id": ID, "ok": true[, "data": {...}]} or {"id": ID, "ok": false, "message": M}
    static MessageLine answer(std::string_view rawId, const CAPCallResult& result);
    // {"event": E, "plugin": P, "data": {...}}
    static MessageLine event(std::string_view pluginName, std::string_view eventName,
                             const JSObject& data);

private:
    struct Piece {
        const char* external = nullptr;  // null: `length` bytes of `buffer_` from `offset`
        std::size_t offset = 0;
        std::size_t length = 0;
    };

    void string(const std::string& text);
    std::vector<std::string_view> views() const;

    std::string buffer_;
    std::vector<Piece> pieces_;
};

}  // namespace host

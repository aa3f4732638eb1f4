#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Host/Web/ServedFile.h"

namespace host {

// How to answer a GET or HEAD of a file, whatever carries the answer (the web server, or a
// window's own handler of the same addresses): the status, the header fields, and which bytes
// of the file to send. One Range is honoured; several, or a malformed one, get the whole file,
// as HTTP allows. Validators let the browser revalidate instead of loading a song again.
struct FileReply {
    // The request's header fields that bear on the answer; absent when not sent.
    struct Conditions {
        bool headOnly = false;
        std::optional<std::string_view> range = std::nullopt;
        std::optional<std::string_view> ifRange = std::nullopt;
        std::optional<std::string_view> ifNoneMatch = std::nullopt;
    };

    int status = 200;  // 200, 206, 304 or 416
    std::vector<std::pair<std::string, std::string>> headers;
    std::uint64_t first = 0;   // the bytes to send are [first, first + length)
    std::uint64_t length = 0;  // 0 for HEAD, 304 and 416

    static FileReply plan(const ServedFile& file, std::string_view contentType,
                          const Conditions& conditions);
};

}  // namespace host

#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The file URL of an absolute path: "file://" and the path with every byte but unreserved
// characters and "/" percent-encoded, so that a name holding " ", "#" or "%" reads back as itself.
std::string fileURL(const std::filesystem::path& path);

// True when the text parses as an absolute URI by the generic syntax: a scheme, then anything
// the syntax allows (mailto:someone@example.com, an application's own scheme:path).
bool isAbsoluteURI(std::string_view text);

// A server as a URI names it: "http://[::1]:5173" is scheme "http", host "::1" and port "5173"
// (empty when none is written).
struct ServerAddress {
    std::string scheme;
    std::string host;
    std::string port;
};
// Nothing for text that is not an absolute URI with a host, or that says more than the server:
// a user, a path other than "/", a query or a fragment; nothing for an empty port after ":".
std::optional<ServerAddress> serverAddress(std::string_view text);

}  // namespace platform

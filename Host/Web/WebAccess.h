#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "Host/Web/ServedFile.h"

namespace host {

// Who may reach the loopback web server, and what it may hand out. A server on loopback that can
// write files must let in no other page, no other site and no other host name.
namespace web_access {

// The Host header must name the server itself, so a rebound DNS name cannot reach it.
bool isOwnHost(std::string_view host, unsigned short port);
// The Origin of a WebSocket upgrade must be the server's own pages.
bool isOwnOrigin(std::string_view origin, unsigned short port);
// The value of one cookie in a Cookie header, if present.
std::optional<std::string> cookie(std::string_view header, std::string_view name);
// The value of one parameter in a query string, if present (no decoding: ours are hexadecimal).
std::optional<std::string> queryParameter(std::string_view query, std::string_view name);
// The path with its %XX escapes decoded; nothing when an escape is malformed.
std::optional<std::string> percentDecoded(std::string_view path);
// The file a decoded request path names inside `root`, or nothing when it would leave `root` (by
// "..", by a symbolic link, or by anything but a plain path), or names no regular file. A directory
// stands for its index.html.
std::optional<std::filesystem::path> staticFile(const std::filesystem::path& root,
                                                std::string_view path);
// The stored or downloaded file that a decoded "/files/offline/NAME" or "/files/downloads/NAME"
// names in the container at `container`, open; nothing for any other path and for anything but
// a regular file reached without a link.
std::optional<ServedFile> containerFile(const std::filesystem::path& container,
                                        std::string_view path);
// Whether a request for a decoded path that names no file is a navigation to one of the web
// application's own routes, which its index answers: its Accept header takes text/html, and the
// path has no extension and lies outside /files/ and /bridge.
bool isPageRoute(std::string_view path, std::string_view accept);
// The media type to serve a file with, by its extension.
std::string_view contentType(const std::filesystem::path& file);
// 32 random hexadecimal digits.
std::string randomToken();
// Compares secrets in time that does not depend on where they differ.
bool sameSecret(std::string_view a, std::string_view b);

}  // namespace web_access

}  // namespace host

#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

// The file URL of an absolute path: "file://" and the path with every byte but unreserved
// characters and "/" percent-encoded, so that a name holding " ", "#" or "%" reads back as itself.
std::string fileURL(const std::filesystem::path& path);

// True when the text parses as an absolute URI by the generic syntax: a scheme, then anything
// the syntax allows (mailto:someone@example.com, an application's own scheme:path).
bool isAbsoluteURI(std::string_view text);

}  // namespace platform

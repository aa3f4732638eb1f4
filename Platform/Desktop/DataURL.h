#pragma once

#include <optional>
#include <string>
#include <string_view>

// The bytes a data: URL carries (RFC 2397): base64 after ";base64", percent-encoded text
// otherwise. Nothing for text that is not a data: URL or whose body does not decode.
std::optional<std::string> dataURLBytes(std::string_view url);

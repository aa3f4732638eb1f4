#pragma once

#include <optional>
#include <string>
#include <string_view>

// File contents cross the bridge as strict single-line base64: the standard alphabet, "=" fill,
// a length that is a multiple of four, and nothing else, not even a line break.
namespace base64 {

std::string encode(std::string_view bytes);

// The bytes, or nothing for text that is not strict base64 (including fill bits that are not
// zero, so that decoding and encoding again gives back the same text). "" decodes to no bytes.
std::optional<std::string> decode(std::string_view text);

// The same, decoding into the text's own buffer, which saves holding a large file twice. Gives
// false, with the text left unspecified, for text that is not strict base64.
bool decodeInPlace(std::string& text);

}  // namespace base64

#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// File contents cross the bridge as strict single-line base64: the standard alphabet, "=" fill,
// a length that is a multiple of four, and nothing else, not even a line break.
//
// Every function has one meaning and several engines: a portable one and, where the processor
// has them, vector ones. The fastest engine the processor runs is chosen once; all give the same
// results on every input.
namespace base64 {

enum class Engine { scalar, ssse3, avx2 };

// The engines this processor runs, the portable one first.
const std::vector<Engine>& availableEngines();
const char* engineName(Engine engine);

std::size_t encodedSize(std::size_t byteCount);

std::string encode(std::string_view bytes);
// Writes exactly encodedSize(bytes.size()) characters at `out`, so a large file can be encoded
// piece by piece straight into its destination (pieces of a multiple of 3 bytes join up).
void encodeInto(std::string_view bytes, char* out);

// The bytes, or nothing for text that is not strict base64 (including fill bits that are not
// zero, so that decoding and encoding again gives back the same text). "" decodes to no bytes.
std::optional<std::string> decode(std::string_view text);

// The same, decoding into the text's own buffer, which saves holding a large file twice. Gives
// false, with the text left unspecified, for text that is not strict base64.
bool decodeInPlace(std::string& text);

// The same functions on a chosen engine, which must be available: for tests that hold each
// engine to the portable one.
std::string encode(std::string_view bytes, Engine engine);
void encodeInto(std::string_view bytes, char* out, Engine engine);
std::optional<std::string> decode(std::string_view text, Engine engine);
bool decodeInPlace(std::string& text, Engine engine);

}  // namespace base64

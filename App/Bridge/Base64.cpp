#include "App/Bridge/Base64.h"

#include "App/Bridge/Base64Vector.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace base64 {

namespace {
constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// Any bit at or above bit 24 marks a character outside the alphabet.
constexpr std::uint32_t invalid = 0xff000000;

// One table per position in a group of four, holding the character's six bits already shifted
// into place, so a group decodes with four loads and three ORs.
constexpr std::array<std::uint32_t, 256> makeDecodeTable(int shift) {
    std::array<std::uint32_t, 256> table{};
    table.fill(invalid);
    for (std::uint32_t i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = i << shift;
    }
    return table;
}
constexpr auto decode0 = makeDecodeTable(18);
constexpr auto decode1 = makeDecodeTable(12);
constexpr auto decode2 = makeDecodeTable(6);
constexpr auto decode3 = makeDecodeTable(0);

// The two characters of every 12-bit value, so three bytes encode with two lookups.
constexpr std::array<char, 8192> makeEncodeTable() {
    std::array<char, 8192> table{};
    for (std::size_t i = 0; i < 4096; ++i) {
        table[2 * i] = alphabet[i >> 6];
        table[2 * i + 1] = alphabet[i & 63];
    }
    return table;
}
constexpr auto encodePairs = makeEncodeTable();

std::uint32_t group(const char* in) {
    return decode0[static_cast<unsigned char>(in[0])] | decode1[static_cast<unsigned char>(in[1])] |
           decode2[static_cast<unsigned char>(in[2])] | decode3[static_cast<unsigned char>(in[3])];
}
}  // namespace

namespace {
struct Kernels {
    std::size_t (*encode)(const unsigned char* in, std::size_t size, char* out);
    std::size_t (*decode)(const char* in, std::size_t size, unsigned char* out);
};

// The portable engine leaves everything to the loops below.
std::size_t encodeNothing(const unsigned char*, std::size_t, char*) {
    return 0;
}

std::size_t decodeNothing(const char*, std::size_t, unsigned char*) {
    return 0;
}

Kernels kernelsOf(Engine engine) {
    switch (engine) {
        case Engine::ssse3:
            return {&vector::encodeSsse3, &vector::decodeSsse3};
        case Engine::avx2:
            return {&vector::encodeAvx2, &vector::decodeAvx2};
        case Engine::scalar:
            break;
    }
    return {&encodeNothing, &decodeNothing};
}

Engine fastest() {
    static const Engine engine = availableEngines().back();
    return engine;
}

}  // namespace

const std::vector<Engine>& availableEngines() {
    static const std::vector<Engine> engines = [] {
        std::vector<Engine> found{Engine::scalar};
        if (vector::supportsSsse3()) {
            found.push_back(Engine::ssse3);
        }
        if (vector::supportsAvx2()) {
            found.push_back(Engine::avx2);
        }
        return found;
    }();
    return engines;
}

const char* engineName(Engine engine) {
    switch (engine) {
        case Engine::ssse3:
            return "ssse3";
        case Engine::avx2:
            return "avx2";
        case Engine::scalar:
            break;
    }
    return "scalar";
}

std::size_t encodedSize(std::size_t byteCount) {
    return (byteCount + 2) / 3 * 4;
}

void encodeInto(std::string_view bytes, char* out, Engine engine) {
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t whole = bytes.size() / 3 * 3;
    std::size_t done = kernelsOf(engine).encode(in, whole, out);
    out += done / 3 * 4;
    for (std::size_t i = done; i < whole; i += 3, out += 4) {
        std::uint32_t triple = (in[i] << 16) | (in[i + 1] << 8) | in[i + 2];
        std::memcpy(out, &encodePairs[2 * (triple >> 12)], 2);
        std::memcpy(out + 2, &encodePairs[2 * (triple & 0xfff)], 2);
    }
    std::size_t left = bytes.size() - whole;
    if (left > 0) {
        std::uint32_t triple = in[whole] << 16;
        if (left == 2) {
            triple |= in[whole + 1] << 8;
        }
        out[0] = alphabet[triple >> 18];
        out[1] = alphabet[(triple >> 12) & 63];
        out[2] = left == 2 ? alphabet[(triple >> 6) & 63] : '=';
        out[3] = '=';
    }
}

void encodeInto(std::string_view bytes, char* out) {
    encodeInto(bytes, out, fastest());
}

std::string encode(std::string_view bytes, Engine engine) {
    std::string text(encodedSize(bytes.size()), '\0');
    encodeInto(bytes, text.data(), engine);
    return text;
}

std::string encode(std::string_view bytes) {
    return encode(bytes, fastest());
}

namespace {
std::size_t fillOf(std::string_view text) {
    return text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
}

// Decodes strict base64 text into `out`, which may be the text's own first byte: each group is
// read whole before its bytes are written, and bytes never overtake the text. Gives whether the
// text was valid; its length must be a multiple of four.
bool decodeInto(Engine engine, const char* in, std::size_t length, unsigned char* out) {
    std::size_t fill = fillOf({in, length});
    std::size_t whole = length - (length > 0 && fill > 0 ? 4 : 0);
    std::size_t done = kernelsOf(engine).decode(in, whole, out);
    out += done / 4 * 3;
    std::uint32_t seen = 0;
    for (std::size_t i = done; i < whole; i += 4, out += 3) {
        std::uint32_t bits = group(in + i);
        seen |= bits;
        out[0] = static_cast<unsigned char>(bits >> 16);
        out[1] = static_cast<unsigned char>(bits >> 8);
        out[2] = static_cast<unsigned char>(bits);
    }
    if (fill > 0) {
        char last[4] = {in[whole], in[whole + 1], fill == 2 ? 'A' : in[whole + 2], 'A'};
        std::uint32_t bits = group(last);
        seen |= bits;
        // The fill bits must be zero, so that only one text stands for the bytes.
        if ((bits & (fill == 2 ? 0xffff : 0xff)) != 0) {
            return false;
        }
        out[0] = static_cast<unsigned char>(bits >> 16);
        if (fill == 1) {
            out[1] = static_cast<unsigned char>(bits >> 8);
        }
    }
    return (seen & invalid) == 0;
}

std::size_t decodedSize(std::string_view text) {
    return text.empty() ? 0 : text.size() / 4 * 3 - fillOf(text);
}
}  // namespace

std::optional<std::string> decode(std::string_view text, Engine engine) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string bytes(decodedSize(text), '\0');
    if (!decodeInto(engine, text.data(), text.size(),
                    reinterpret_cast<unsigned char*>(bytes.data()))) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<std::string> decode(std::string_view text) {
    return decode(text, fastest());
}

bool decodeInPlace(std::string& text, Engine engine) {
    if (text.size() % 4 != 0) {
        return false;
    }
    std::size_t size = decodedSize(text);
    if (!decodeInto(engine, text.data(), text.size(),
                    reinterpret_cast<unsigned char*>(text.data()))) {
        return false;
    }
    text.resize(size);
    return true;
}

bool decodeInPlace(std::string& text) {
    return decodeInPlace(text, fastest());
}

}  // namespace base64

#include "Platform/Desktop/DataURL.h"

#include <algorithm>
#include <cctype>

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string bytes;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '%') {
            bytes += text[at];
            continue;
        }
        int high = at + 2 < text.size() ? hexValue(text[at + 1]) : -1;
        int low = high < 0 ? -1 : hexValue(text[at + 2]);
        if (low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>(high * 16 + low);
        at += 2;
    }
    return bytes;
}

// Browsers take blanks inside the base64 text and leave its fill out; so does this.
std::optional<std::string> base64Decoded(std::string_view text) {
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    bool filled = false;
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c))) {
            continue;
        }
        if (c == '=') {
            filled = true;
            continue;
        }
        auto value = alphabet.find(c);
        if (value == std::string_view::npos || filled) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        if ((count += 6) >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return count >= 6 ? std::nullopt : std::optional(bytes);
}
}  // namespace

std::optional<std::string> dataURLBytes(std::string_view url) {
    constexpr std::string_view scheme = "data:";
    auto comma = url.find(',');
    if (url.size() < scheme.size() || comma == std::string_view::npos ||
        !std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
            return a == std::tolower(static_cast<unsigned char>(b));
        })) {
        return std::nullopt;
    }
    auto header = url.substr(scheme.size(), comma - scheme.size());
    auto body = percentDecoded(url.substr(comma + 1));
    if (!body) {
        return std::nullopt;
    }
    return header.ends_with(";base64") ? base64Decoded(*body) : body;
}

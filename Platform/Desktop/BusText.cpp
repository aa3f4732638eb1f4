#include "Platform/Desktop/BusText.h"

namespace {
constexpr std::string_view replacement = "\xef\xbf\xbd";

// The length of the UTF-8 sequence starting at `at` and its code point, or 0 when it is malformed
// (overlong, a surrogate, beyond U+10FFFF, cut short).
std::size_t decode(std::string_view text, std::size_t at, char32_t& code) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    unsigned char lead = byte(0);
    std::size_t length = lead < 0x80   ? 1
                         : lead < 0xc2 ? 0
                         : lead < 0xe0 ? 2
                         : lead < 0xf0 ? 3
                         : lead < 0xf5 ? 4
                                       : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    code = length == 1 ? lead : lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(i) & 0x3f);
    }
    constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    bool surrogate = code >= 0xd800 && code <= 0xdfff;
    return code < smallest[length] || surrogate || code > 0x10ffff ? 0 : length;
}

bool refused(char32_t code) {
    return code == 0 || (code >= 0xfdd0 && code <= 0xfdef) || (code & 0xfffe) == 0xfffe;
}
}  // namespace

std::string busText(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        std::size_t length = decode(text, at, code);
        if (length == 0 || refused(code)) {
            clean += replacement;
            at += length == 0 ? 1 : length;
        } else {
            clean += text.substr(at, length);
            at += length;
        }
    }
    return clean;
}

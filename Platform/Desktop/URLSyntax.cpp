#include "Platform/Desktop/URLSyntax.h"

#include <cctype>
#include <optional>
#include <string>

#include "Platform/URI.h"

namespace {
// The length of the scheme the text begins with, before its ':'.
std::optional<std::size_t> schemeLength(std::string_view text) {
    auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (text.empty() || !isAlpha(text[0])) {
        return std::nullopt;
    }
    std::size_t length = 1;
    while (length < text.size() &&
           (isAlpha(text[length]) || std::isdigit(static_cast<unsigned char>(text[length])) ||
            text[length] == '+' || text[length] == '-' || text[length] == '.')) {
        ++length;
    }
    if (length == text.size() || text[length] != ':') {
        return std::nullopt;
    }
    return length;
}

bool curlParses(const CurlLibrary::Functions& curl, std::string_view text) {
    CURLU* url = curl.url();
    bool valid = curl.urlSet(url, CURLUPART_URL, std::string(text).c_str(),
                             CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
    curl.urlCleanup(url);
    return valid;
}
}  // namespace

bool isTransferableURL(std::string_view text, CurlLibrary& library) {
    if (text.find('\0') != std::string_view::npos) {
        return false;
    }
    auto scheme = schemeLength(text);
    if (!scheme) {
        return false;
    }
    // A URL with an authority (a host) is held to what a transfer of it would take; one
    // without, such as mailto:someone@example.com or an application's own scheme:path, to the
    // generic syntax, which curl does not take. Without curl no transfer is made at all, and the
    // generic syntax lets a download of the URL go on to fail saying why.
    if (text.substr(*scheme).starts_with("://")) {
        if (const auto* curl = library.functions()) {
            return curlParses(*curl, text);
        }
    }
    return platform::isAbsoluteURI(text);
}

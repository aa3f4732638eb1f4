#include "Platform/URI.h"

#include <vector>

#include <uriparser/Uri.h>

namespace platform {

std::string fileURL(const std::filesystem::path& path) {
    const std::string& name = path.native();
    if (name.find('\0') != std::string::npos) {
        return {};
    }
    // uriparser writes at most three characters a byte, its "file://" and the terminator.
    std::vector<char> url(3 * name.size() + 8 + 1);
    if (uriUnixFilenameToUriStringA(name.c_str(), url.data()) != URI_SUCCESS) {
        return {};
    }
    std::string text(url.data());
    // A relative path gets no scheme from uriparser; it has always been given one.
    return text.starts_with("file://") ? text : "file://" + text;
}

bool isAbsoluteURI(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        return false;
    }
    UriUriA uri;
    const char* errorPosition = nullptr;
    if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPosition) !=
        URI_SUCCESS) {
        return false;
    }
    bool absolute = uri.scheme.first != nullptr;
    uriFreeUriMembersA(&uri);
    return absolute;
}

}  // namespace platform

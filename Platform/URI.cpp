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

namespace {
std::string_view partOf(const UriTextRangeA& range) {
    return range.first == nullptr ? std::string_view{}
                                  : std::string_view(range.first, range.afterLast - range.first);
}

// Calls `read` with the parsed URI, when the text parses; gives its answer, else `otherwise`.
template <class Read, class Answer>
Answer withParsedURI(std::string_view text, Read read, Answer otherwise) {
    if (text.find('\0') != std::string_view::npos) {
        return otherwise;
    }
    UriUriA uri;
    const char* errorPosition = nullptr;
    if (uriParseSingleUriExA(&uri, text.data(), text.data() + text.size(), &errorPosition) !=
        URI_SUCCESS) {
        return otherwise;
    }
    Answer answer = read(uri);
    uriFreeUriMembersA(&uri);
    return answer;
}
}  // namespace

bool isAbsoluteURI(std::string_view text) {
    return withParsedURI(
        text, [](const UriUriA& uri) { return uri.scheme.first != nullptr; }, false);
}

std::optional<ServerAddress> serverAddress(std::string_view text) {
    return withParsedURI(
        text,
        [](const UriUriA& uri) -> std::optional<ServerAddress> {
            bool rootOrNoPath = uri.pathHead == nullptr || (uri.pathHead->next == nullptr &&
                                                            partOf(uri.pathHead->text).empty());
            bool emptyPort = uri.portText.first != nullptr && partOf(uri.portText).empty();
            if (uri.scheme.first == nullptr || partOf(uri.hostText).empty() || emptyPort ||
                uri.userInfo.first != nullptr || !rootOrNoPath || uri.query.first != nullptr ||
                uri.fragment.first != nullptr) {
                return std::nullopt;
            }
            return ServerAddress{std::string(partOf(uri.scheme)), std::string(partOf(uri.hostText)),
                                 std::string(partOf(uri.portText))};
        },
        std::optional<ServerAddress>{});
}

}  // namespace platform

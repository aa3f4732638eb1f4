#include "Host/Web/WebAccess.h"

#include <charconv>
#include <map>
#include <vector>

#include "Platform/Posix/RandomHex.h"

namespace fs = std::filesystem;

namespace host {

namespace web_access {

namespace {
std::string_view trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return text;
}

// The value for `name` among `separator`-separated name=value pairs.
std::optional<std::string> pairValue(std::string_view pairs, char separator,
                                     std::string_view name) {
    while (!pairs.empty()) {
        std::size_t end = pairs.find(separator);
        std::string_view pair = trimmed(pairs.substr(0, end));
        std::size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            return std::string(pair.substr(equals + 1));
        }
        if (end == std::string_view::npos) {
            break;
        }
        pairs.remove_prefix(end + 1);
    }
    return std::nullopt;
}
}  // namespace

bool isOwnHost(std::string_view host, unsigned short port) {
    std::string suffix = ":" + std::to_string(port);
    return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

bool isOwnOrigin(std::string_view origin, unsigned short port) {
    return origin.starts_with("http://") && isOwnHost(origin.substr(7), port);
}

std::optional<std::string> cookie(std::string_view header, std::string_view name) {
    return pairValue(header, ';', name);
}

std::optional<std::string> queryParameter(std::string_view query, std::string_view name) {
    return pairValue(query, '&', name);
}

std::optional<std::string> percentDecoded(std::string_view path) {
    std::string decoded;
    decoded.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] != '%') {
            decoded += path[i];
            continue;
        }
        unsigned value = 0;
        if (i + 2 >= path.size() ||
            std::from_chars(path.data() + i + 1, path.data() + i + 3, value, 16).ptr !=
                path.data() + i + 3) {
            return std::nullopt;
        }
        decoded += static_cast<char>(value);
        i += 2;
    }
    return decoded;
}

std::optional<fs::path> staticFile(const fs::path& root, std::string_view path) {
    if (!path.starts_with('/') ||
        path.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos) {
        return std::nullopt;
    }
    fs::path relative;
    for (std::string_view rest = path.substr(1); !rest.empty();) {
        std::size_t slash = rest.find('/');
        std::string_view part = rest.substr(0, slash);
        if (part == "." || part == "..") {
            return std::nullopt;
        }
        if (!part.empty()) {
            relative /= std::string(part);
        }
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    }
    std::error_code error;
    fs::path base = fs::canonical(root, error);
    if (error) {
        return std::nullopt;
    }
    fs::path file = fs::canonical(base / relative, error);
    if (!error && fs::is_directory(file, error)) {
        file = fs::canonical(file / "index.html", error);
    }
    if (error || !fs::is_regular_file(file, error)) {
        return std::nullopt;
    }
    // Whatever links the path went through, the file itself must lie under the root.
    auto [rootEnd, fileIt] = std::mismatch(base.begin(), base.end(), file.begin(), file.end());
    if (rootEnd != base.end()) {
        return std::nullopt;
    }
    return file;
}

std::optional<ServedFile> containerFile(const fs::path& container, std::string_view path) {
    static const std::map<std::string, std::vector<std::string>, std::less<>> folders = {
        {"/files/offline/", {"Library", "Application Support", "offline"}},
        {"/files/downloads/", {"Documents", "Downloads"}},
    };
    for (const auto& [prefix, folder] : folders) {
        if (path.starts_with(prefix)) {
            return ServedFile::openConfined(container, folder, path.substr(prefix.size()));
        }
    }
    return std::nullopt;
}

bool isPageRoute(std::string_view path, std::string_view accept) {
    auto within = [&](std::string_view folder) {
        return path == folder || (path.starts_with(folder) && path[folder.size()] == '/');
    };
    if (!path.starts_with('/') || within("/files") || within("/bridge") ||
        path.substr(path.rfind('/')).find('.') != std::string_view::npos) {
        return false;
    }
    // A fetch or a media element asks for other types: a missing script must stay a 404.
    for (std::size_t start = 0; start <= accept.size();) {
        std::size_t end = std::min(accept.find(',', start), accept.size());
        std::string_view type = accept.substr(start, end - start);
        if (trimmed(type.substr(0, type.find(';'))) == "text/html") {
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string_view contentType(const fs::path& file) {
    static const std::map<std::string, std::string_view> types = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".ts", "text/plain; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".ico", "image/x-icon"},
        {".wav", "audio/wav"},
        {".mp3", "audio/mpeg"},
        {".ogg", "audio/ogg"},
        {".txt", "text/plain; charset=utf-8"},
    };
    auto found = types.find(file.extension().string());
    return found == types.end() ? std::string_view("application/octet-stream") : found->second;
}

std::string randomToken() {
    return randomHex(16);
}

bool sameSecret(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

}  // namespace web_access

}  // namespace host

#include "Host/Core/AppManifest.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "Platform/URI.h"

namespace host {

namespace {
using Json = nlohmann::json;

// Thrown with the line a refused manifest is reported with; caught in load().
struct Refusal {
    std::string line;
};

[[noreturn]] void refuse(std::string_view key, std::string_view why) {
    throw Refusal{std::string(AppManifest::fileName) + ": \"" + std::string(key) + "\" " +
                  std::string(why)};
}

bool isAlpha(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool isAlnum(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

// A desktop entry's id follows D-Bus's well-known names: two elements or more, each of letters,
// digits, "_" and "-", none starting with a digit.
bool isApplicationId(std::string_view id) {
    if (id.empty() || id.size() > 255) {
        return false;
    }
    int elements = 0;
    for (std::size_t start = 0; start <= id.size(); ++elements) {
        std::size_t end = std::min(id.find('.', start), id.size());
        auto element = id.substr(start, end - start);
        if (element.empty() || std::isdigit(static_cast<unsigned char>(element[0]))) {
            return false;
        }
        if (!std::ranges::all_of(element,
                                 [](char c) { return isAlnum(c) || c == '_' || c == '-'; })) {
            return false;
        }
        start = end + 1;
    }
    return elements >= 2;
}

// RFC 3986: ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ).
bool isScheme(std::string_view scheme) {
    return !scheme.empty() && isAlpha(scheme[0]) && std::ranges::all_of(scheme, [](char c) {
        return isAlnum(c) || c == '+' || c == '-' || c == '.';
    });
}

bool isLowerOrDigit(char c) {
    return std::islower(static_cast<unsigned char>(c)) != 0 ||
           std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool isPackageName(std::string_view name) {
    return name.size() >= 2 && isLowerOrDigit(name[0]) && std::ranges::all_of(name, [](char c) {
               return isLowerOrDigit(c) || c == '+' || c == '-' || c == '.';
           });
}

// The id's last part, lowercased, with what a package name cannot hold dropped; the whole id
// when that leaves too little.
std::string packageFrom(std::string_view id) {
    auto made = [](std::string_view text) {
        std::string name;
        for (char c : text) {
            if (c == '_') {
                c = '-';
            }
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (isAlnum(c) || (!name.empty() && (c == '-' || c == '.'))) {
                name.push_back(c);
            }
        }
        return name;
    };
    auto name = made(id.substr(id.rfind('.') + 1));
    return isPackageName(name) ? name : made(id);
}

// Debian's versions, and a User-Agent token: a digit first, then no space or slash.
bool isVersion(std::string_view version) {
    return !version.empty() && std::isdigit(static_cast<unsigned char>(version[0])) != 0 &&
           std::ranges::all_of(version, [](char c) {
               return isAlnum(c) || c == '.' || c == '+' || c == '~' || c == '-';
           });
}

bool isLoopbackOrigin(std::string_view url) {
    auto address = platform::serverAddress(url);
    return address && address->scheme == "http" &&
           (address->host == "127.0.0.1" || address->host == "localhost" ||
            address->host == "::1") &&
           address->port.size() <= 5 && std::ranges::all_of(address->port, [](char c) {
               return std::isdigit(static_cast<unsigned char>(c));
           });
}

// At least 256 pixels each way, as its header says.
bool isLargePng(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<unsigned char, 24> header{};
    in.read(reinterpret_cast<char*>(header.data()), header.size());
    constexpr std::string_view signature = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR";
    if (!in ||
        !std::equal(signature.begin(), signature.end(), header.begin(),
                    [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; })) {
        return false;
    }
    auto number = [&](std::size_t at) {
        return std::uint32_t{header[at]} << 24 | std::uint32_t{header[at + 1]} << 16 |
               std::uint32_t{header[at + 2]} << 8 | header[at + 3];
    };
    return number(16) >= 256 && number(20) >= 256;
}

std::string text(const Json& object, std::string_view key, bool required = false) {
    auto found = object.find(key);
    if (found == object.end()) {
        if (required) {
            refuse(key, "is missing");
        }
        return {};
    }
    if (!found->is_string() || (required && found->get_ref<const std::string&>().empty())) {
        refuse(key, required ? "must be a non-empty string" : "must be a string");
    }
    return found->get<std::string>();
}

AppManifest::WindowSizes windowSizes(const Json& window, std::vector<std::string>& warnings) {
    if (!window.is_object()) {
        refuse("window", "must be an object");
    }
    AppManifest::WindowSizes sizes;
    const std::array<std::pair<const char*, std::optional<int>*>, 4> keys = {
        {{"width", &sizes.width},
         {"height", &sizes.height},
         {"minWidth", &sizes.minWidth},
         {"minHeight", &sizes.minHeight}}};
    for (const auto& [key, value] : window.items()) {
        auto known = std::ranges::find(keys, key, [](const auto& entry) { return entry.first; });
        if (known == keys.end()) {
            warnings.push_back(std::string(AppManifest::fileName) + ": unknown key \"window." +
                               key + "\" ignored");
        } else if (!value.is_number_integer() || value.get<long long>() < 1 ||
                   value.get<long long>() > 16384) {
            refuse("window." + key, "must be a whole number of pixels from 1 to 16384");
        } else {
            *known->second = value.get<int>();
        }
    }
    return sizes;
}

AppManifest parse(const Json& json, const std::filesystem::path& appDirectory,
                  std::vector<std::string>& warnings) {
    if (!json.is_object()) {
        throw Refusal{std::string(AppManifest::fileName) + ": not a JSON object"};
    }
    AppManifest manifest;
    manifest.id = text(json, "id", true);
    if (!isApplicationId(manifest.id)) {
        refuse("id", "must be a reverse-DNS application id such as org.example.Tunes");
    }
    manifest.name = text(json, "name", true);
    if (json.contains("version")) {
        manifest.version = text(json, "version");
        if (!isVersion(manifest.version)) {
            refuse("version", "must start with a digit and hold only letters, digits and .+~-");
        }
    }
    manifest.summary = text(json, "summary");
    manifest.description = text(json, "description");
    manifest.homepage = text(json, "homepage");
    manifest.license = text(json, "license");
    manifest.developer = text(json, "developer");
    manifest.email = text(json, "email");
    if (json.contains("icon")) {
        std::error_code error;
        auto root = std::filesystem::weakly_canonical(appDirectory, error);
        auto icon = std::filesystem::weakly_canonical(appDirectory / text(json, "icon"), error);
        auto inside =
            std::mismatch(root.begin(), root.end(), icon.begin(), icon.end()).first == root.end();
        auto extension = icon.extension();
        if (error || !inside || !std::filesystem::is_regular_file(icon, error) ||
            !(extension == ".svg" || (extension == ".png" && isLargePng(icon)))) {
            refuse("icon", "must be a PNG of at least 256x256 pixels or an SVG in the app folder");
        }
        manifest.icon = icon;
    }
    if (auto schemes = json.find("schemes"); schemes != json.end()) {
        if (!schemes->is_array()) {
            refuse("schemes", "must be an array of URL schemes");
        }
        for (const auto& scheme : *schemes) {
            if (!scheme.is_string() || !isScheme(scheme.get_ref<const std::string&>())) {
                refuse("schemes", "holds " + scheme.dump() + ", not a URL scheme");
            }
            std::string lower = scheme.get<std::string>();
            std::ranges::transform(lower, lower.begin(), [](unsigned char c) {
                return static_cast<char>(std::tolower(c));
            });
            manifest.schemes.push_back(std::move(lower));
        }
    }
    if (auto window = json.find("window"); window != json.end()) {
        manifest.window = windowSizes(*window, warnings);
    }
    manifest.package = json.contains("package") ? text(json, "package") : packageFrom(manifest.id);
    if (!isPackageName(manifest.package)) {
        refuse("package", "must be a Debian package name (lowercase letters, digits, +-.)");
    }
    if (json.contains("devUrl")) {
        manifest.devUrl = text(json, "devUrl");
        if (!isLoopbackOrigin(*manifest.devUrl)) {
            refuse("devUrl",
                   "must be a development server on loopback, such as "
                   "http://127.0.0.1:5173");
        }
        if (manifest.devUrl->ends_with('/')) {
            manifest.devUrl->pop_back();
        }
    }
    static constexpr std::array known = {
        "id",        "name",  "version", "summary", "description", "homepage", "license",
        "developer", "email", "icon",    "schemes", "window",      "package",  "devUrl"};
    for (const auto& [key, value] : json.items()) {
        if (std::ranges::find(known, key) == known.end()) {
            warnings.push_back(std::string(AppManifest::fileName) + ": unknown key \"" + key +
                               "\" ignored");
        }
    }
    return manifest;
}
}  // namespace

LoadedManifest AppManifest::load(const std::filesystem::path& appDirectory) {
    LoadedManifest loaded;
    auto file = appDirectory / fileName;
    std::error_code error;
    if (!std::filesystem::exists(file, error)) {
        return loaded;
    }
    std::ifstream in(file);
    std::stringstream contents;
    contents << in.rdbuf();
    if (!in) {
        loaded.error = std::string(fileName) + ": cannot be read";
        return loaded;
    }
    try {
        loaded.manifest = parse(Json::parse(contents.str()), appDirectory, loaded.warnings);
    } catch (const Refusal& refusal) {
        loaded.error = refusal.line;
    } catch (const Json::exception& bad) {
        loaded.error = std::string(fileName) + ": not JSON (" + bad.what() + ")";
    }
    return loaded;
}

bool AppManifest::receives(std::string_view url) const {
    auto colon = url.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    std::string scheme(url.substr(0, colon));
    std::ranges::transform(scheme, scheme.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return std::ranges::find(schemes, scheme) != schemes.end();
}

}  // namespace host

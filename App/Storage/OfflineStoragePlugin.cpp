#include "App/Storage/OfflineStoragePlugin.h"

#include "App/Bridge/Base64.h"
#include "App/Bridge/CAPPluginClass.h"
#include "App/Storage/NamedFileCalls.h"
#include "Platform/URI.h"

namespace fs = std::filesystem;
using platform::Directory;
using Kind = platform::Error::Kind;

namespace {
const CAPPluginClass runtimeClass(
    "OfflineStoragePlugin", &createPlugin<OfflineStoragePlugin>,
    {
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::writeFile>("writeFile",
                                                                                    "data"),
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::readFile>("readFile"),
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::deleteFile>("deleteFile"),
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::fileExists>("fileExists"),
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::getStorageInfo>(
            "getStorageInfo"),
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::getDeviceId>(
            "getDeviceId"),
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::writeTempFile>(
            "writeTempFile", "data"),
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::cleanTempFiles>(
            "cleanTempFiles"),
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::getFreeSpace>(
            "getFreeSpace"),
        CAPPluginMethod::of<OfflineStoragePlugin, &OfflineStoragePlugin::listFiles>("listFiles"),
    });

constexpr std::string_view deviceIdFile = "device_id.txt";

bool isValidUTF8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80           ? 1
                             : (byte >> 5) == 0x6  ? 2
                             : (byte >> 4) == 0xe  ? 3
                             : (byte >> 3) == 0x1e ? 4
                                                   : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        std::uint32_t point = length == 1 ? byte : byte & (0x7f >> length);
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) {
                return false;
            }
            point = (point << 6) | (next & 0x3f);
        }
        constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < smallest[length] || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
            return false;
        }
        i += length;
    }
    return true;
}

// White space and line ends in UTF-8: the separators (spaces, line and paragraph separators), tab,
// the ASCII line ends and U+0085.
constexpr std::string_view whiteSpace[] = {
    " ",      "\t",     "\n",     "\v",     "\f",     "\r",     "\u0085", "\u00A0", "\u1680",
    "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006", "\u2007", "\u2008",
    "\u2009", "\u200A", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};

// The length of the white space or line end that `text` begins (or, with `atEnd`, ends) with.
// Whole characters are matched: in valid UTF-8 no character's encoding begins or ends inside
// another's.
std::size_t blankAt(std::string_view text, bool atEnd) {
    for (std::string_view blank : whiteSpace) {
        if (atEnd ? text.ends_with(blank) : text.starts_with(blank)) {
            return blank.size();
        }
    }
    return 0;
}

// Valid UTF-8 with white space and line ends removed at both ends.
std::string_view trimmed(std::string_view text) {
    while (std::size_t length = blankAt(text, false)) {
        text.remove_prefix(length);
    }
    while (std::size_t length = blankAt(text, true)) {
        text.remove_suffix(length);
    }
    return text;
}

fs::path resolvedFolder(platform::FileSystem& files, fs::path folder) {
    // A failure shows in the caller's own file operation.
    static_cast<void>(files.createDirectories(folder));
    return folder;
}
}  // namespace

fs::path OfflineStoragePlugin::offlineDirectory() const {
    auto& files = *platform().fileSystem;
    return resolvedFolder(files, files.directory(Directory::applicationSupport) / "offline");
}

fs::path OfflineStoragePlugin::offlineTempDirectory() const {
    auto& files = *platform().fileSystem;
    return resolvedFolder(files, files.directory(Directory::temporary) / "offline_temp");
}

std::optional<fs::path> OfflineStoragePlugin::storedFile(const CAPPluginCall& call) const {
    auto name = call.getString("filename");
    if (!name) {
        call.reject("filename required");
        return std::nullopt;
    }
    if (!platform::isPlainFileName(*name)) {
        call.reject("Invalid filename");
        return std::nullopt;
    }
    return offlineDirectory() / *name;
}

void OfflineStoragePlugin::writeFile(const CAPPluginCall& call) {
    auto name = call.getString("filename");
    auto data = call.takePayload("data");
    if (!name || !data) {
        call.reject("filename and data required");
        return;
    }
    if (!platform::isPlainFileName(*name)) {
        call.reject("Invalid filename");
        return;
    }
    fs::path file = offlineDirectory() / *name;
    if (auto error = data->placeAt(*platform().fileSystem, file)) {
        call.reject("Write failed: " + error->description);
        return;
    }
    call.resolve({{"path", file.string()}});
}

void OfflineStoragePlugin::readFile(const CAPPluginCall& call) {
    auto file = storedFile(call);
    if (!file) {
        return;
    }
    auto opened = platform().fileSystem->openForReading(*file);
    if (!opened.ok() && opened.error().kind == Kind::notFound) {
        call.reject("File not found");
        return;
    }
    if (!opened.ok()) {
        call.reject("Read failed: " + opened.error().description);
        return;
    }
    // The file is read and encoded a piece at a time as the answer goes out: it is held neither
    // whole nor as text. A read failing half-way still ends the answer as a rejection.
    std::shared_ptr<platform::ReadableFile> source = std::move(opened.value());
    call.resolve(
        JSObject::object(), "data",
        [source](const std::function<void(std::string_view)>& piece) -> std::optional<std::string> {
            constexpr std::size_t chunk = 3 << 18;  // a multiple of 3: pieces join up
            std::string bytes(chunk, '\0');
            std::string text(base64::encodedSize(chunk), '\0');
            for (;;) {
                // Fill the chunk whole, so only the last piece may carry fill.
                std::size_t filled = 0;
                while (filled < chunk) {
                    auto got = source->read(bytes.data() + filled, chunk - filled);
                    if (!got.ok()) {
                        return "Read failed: " + got.error().description;
                    }
                    if (got.value() == 0) {
                        break;
                    }
                    filled += got.value();
                }
                std::string_view part(bytes.data(), filled);
                base64::encodeInto(part, text.data());
                piece(std::string_view(text.data(), base64::encodedSize(filled)));
                if (filled < chunk) {
                    return std::nullopt;
                }
            }
        });
}

void OfflineStoragePlugin::deleteFile(const CAPPluginCall& call) {
    deleteNamedFile(
        call, *platform().fileSystem, [this] { return offlineDirectory(); }, "filename");
}

void OfflineStoragePlugin::fileExists(const CAPPluginCall& call) {
    auto file = storedFile(call);
    if (!file) {
        return;
    }
    auto type = platform().fileSystem->entryType(*file);
    if (refusedForLink(call, type)) {
        return;
    }
    // Only what the store can hold counts: a file or a folder, not a link or a special file.
    bool exists = type.ok() && (type.value() == platform::EntryType::file ||
                                type.value() == platform::EntryType::folder);
    call.resolve({{"exists", exists}});
}

void OfflineStoragePlugin::getStorageInfo(const CAPPluginCall& call) {
    auto& files = *platform().fileSystem;
    auto figures = files.figures(files.directory(Directory::home));
    if (!figures.ok()) {
        call.reject("Unable to read storage info");
        return;
    }
    std::uint64_t used = 0;
    auto entries = files.contentsWithSizes(offlineDirectory());
    if (refusedForLink(call, entries)) {
        return;
    }
    if (entries.ok()) {
        for (const auto& entry : entries.value()) {
            used += entry.size.value_or(0);
        }
    }
    call.resolve(
        {{"total", figures.value().total}, {"free", figures.value().free}, {"used", used}});
}

void OfflineStoragePlugin::getDeviceId(const CAPPluginCall& call) {
    auto& files = *platform().fileSystem;
    fs::path folder = files.directory(Directory::applicationSupport);
    fs::path file = folder / deviceIdFile;
    auto text = files.read(file);
    if (refusedForLink(call, text)) {
        return;
    }
    if (text.ok() && isValidUTF8(text.value())) {
        std::string_view identifier = trimmed(text.value());
        // A blank file would hand every launch the same empty identifier: make a real one.
        if (!identifier.empty()) {
            call.resolve({{"deviceId", std::string(identifier)}});
            return;
        }
    }
    std::string identifier = files.makeUUID();
    auto error = files.writeAtomically(file, identifier);
    if (error && error->kind == Kind::notFound) {
        // Made here, or a fresh container would hand out a new identifier on every launch. A
        // failure leaves the identifier unsaved, which the next call shows by making another.
        static_cast<void>(files.createDirectories(folder));
        static_cast<void>(files.writeAtomically(file, identifier));
    }
    call.resolve({{"deviceId", identifier}});
}

void OfflineStoragePlugin::writeTempFile(const CAPPluginCall& call) {
    auto data = call.takePayload("data");
    if (!data) {
        call.reject("data required");
        return;
    }
    std::string extension(call.getString("extension").value_or("mp3"));
    if (extension.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        call.reject("Invalid extension");
        return;
    }
    auto& files = *platform().fileSystem;
    std::string name = "temp_" + files.makeUUID() + "." + extension;
    fs::path file = offlineTempDirectory() / name;
    // Written whole or not at all, so a full disk leaves no truncated scratch file.
    if (auto error = data->placeAt(*platform().fileSystem, file)) {
        call.reject("Temp write failed: " + error->description);
        return;
    }
    call.resolve({{"path", platform::fileURL(file)}, {"filePath", file.string()}});
}

void OfflineStoragePlugin::cleanTempFiles(const CAPPluginCall& call) {
    auto& files = *platform().fileSystem;
    fs::path folder = offlineTempDirectory();
    int deleted = 0;
    auto names = files.contentsOfDirectory(folder);
    if (refusedForLink(call, names)) {
        return;
    }
    if (names.ok()) {
        for (const auto& name : names.value()) {
            if (!files.remove(folder / name)) {
                ++deleted;
            }
        }
    }
    call.resolve({{"deleted", deleted}});
}

void OfflineStoragePlugin::getFreeSpace(const CAPPluginCall& call) {
    auto& files = *platform().fileSystem;
    auto figures = files.figures(files.directory(Directory::home));
    if (!figures.ok()) {
        call.reject("Unable to read free space");
        return;
    }
    call.resolve({{"bytes", figures.value().free}});
}

void OfflineStoragePlugin::listFiles(const CAPPluginCall& call) {
    auto names = platform().fileSystem->contentsOfDirectory(offlineDirectory());
    if (refusedForLink(call, names)) {
        return;
    }
    JSObject files = JSObject::array();
    if (names.ok()) {
        for (auto& name : names.value()) {
            // A name that is not UTF-8 cannot cross the bridge unchanged, so the page could never
            // name that file back: it is left out, though its bytes still count as used.
            if (isValidUTF8(name)) {
                files.push_back(std::move(name));
            }
        }
    }
    call.resolve({{"files", std::move(files)}});
}

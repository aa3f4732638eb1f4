#include "App/Storage/NamedFileCalls.h"

#include <string>

bool refusedForLink(const CAPPluginCall& call, const std::optional<platform::Error>& error) {
    if (!error || error->kind != platform::Error::Kind::linkedFolder) {
        return false;
    }
    call.reject(error->description);
    return true;
}

void deleteNamedFile(const CAPPluginCall& call, platform::FileSystem& files,
                     const std::function<std::filesystem::path()>& folder, std::string_view key) {
    auto name = call.getString(key);
    if (!name) {
        call.reject(std::string(key) + " required");
        return;
    }
    if (!platform::isPlainFileName(*name)) {
        call.reject("Invalid filename");
        return;
    }
    auto error = files.remove(folder() / *name);
    if (refusedForLink(call, error)) {
        return;
    }
    call.resolve({{"success", !error}});
}

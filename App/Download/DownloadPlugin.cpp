#include "App/Download/DownloadPlugin.h"

#include <functional>

#include "App/Bridge/CAPPluginClass.h"
#include "App/Storage/NamedFileCalls.h"

namespace fs = std::filesystem;

namespace {
const CAPPluginClass runtimeClass(
    "DownloadPlugin", &createPlugin<DownloadPlugin>,
    {
        CAPPluginMethod::of<DownloadPlugin, &DownloadPlugin::downloadFile>("downloadFile"),
        CAPPluginMethod::of<DownloadPlugin, &DownloadPlugin::downloadAndInstall>(
            "downloadAndInstall"),
        CAPPluginMethod::of<DownloadPlugin, &DownloadPlugin::cancelDownload>("cancelDownload"),
        CAPPluginMethod::of<DownloadPlugin, &DownloadPlugin::listDownloads>("listDownloads"),
        CAPPluginMethod::of<DownloadPlugin, &DownloadPlugin::deleteDownload>("deleteDownload"),
    });

constexpr std::string_view defaultFileName = "audio.mp3";
constexpr std::string_view packageName = "update.ipa";

fs::path downloadsFolder(const platform::FileSystem& files) {
    return files.directory(platform::Directory::documents) / "Downloads";
}

// Why a finished transfer cannot be stored, if it cannot.
std::optional<std::string> transferFailure(const platform::DownloadTaskResult& result) {
    if (result.error) {
        return "Download failed: " + result.error->description;
    }
    if (!result.location) {
        return "Download failed: no data received";
    }
    if (result.statusCode < 200 || result.statusCode > 299) {
        return "Download failed: HTTP " + std::to_string(result.statusCode);
    }
    return std::nullopt;
}

// Moves a downloaded file to `destination`, replacing the file there; where the destination is
// the shell's own (`owned`), whatever stands there is replaced, a folder too. The destination's
// folder is made only now, when there is a file to keep.
std::optional<platform::Error> place(platform::FileSystem& files, const fs::path& file,
                                     const fs::path& destination, bool owned) {
    // A failure here shows when the file is moved in.
    static_cast<void>(files.createDirectories(destination.parent_path()));
    auto error = files.replace(file, destination);
    if (error && owned && error->kind == platform::Error::Kind::notRegularFile &&
        error->path == destination) {
        error = files.remove(destination);
        if (!error) {
            error = files.replace(file, destination);
        }
    }
    return error;
}

// Stores a finished download at `destination` (see `place`). Gives the failure message, or
// nothing once the file is in place. Either way the scratch file is gone when it returns, before
// the call is answered.
std::optional<std::string> store(const platform::Services& services,
                                 const platform::DownloadTaskResult& result,
                                 const fs::path& destination, bool owned) {
    auto failure = transferFailure(result);
    if (!failure) {
        if (auto error = place(*services.fileSystem, *result.location, destination, owned)) {
            failure = "Download failed: " + error->description;
        }
    }
    if (failure && result.location) {
        // Should this fail, the session still removes it once the completion returns.
        static_cast<void>(services.fileSystem->remove(*result.location));
    }
    return failure;
}

// Asks the system to open the stored package, on the main queue.
void open(const platform::Services& services, const fs::path& package, const CAPPluginCall& call) {
    services.mainQueue->async([opener = services.fileOpener, package, call] {
        if (!opener->canOpen(package)) {
            call.resolve({{"path", package.string()}});
            return;
        }
        opener->open(package, [call](bool opened) {
            if (opened) {
                call.resolve();
            } else {
                call.reject("Failed to open file");
            }
        });
    });
}
}  // namespace

std::optional<std::string> DownloadPlugin::requestedURL(const CAPPluginCall& call) const {
    auto url = call.getString("url");
    if (!url || url->empty()) {
        call.reject("URL is required");
        return std::nullopt;
    }
    if (!platform().urlSession->isValidURL(*url)) {
        call.reject("Invalid URL");
        return std::nullopt;
    }
    return std::string(*url);
}

void DownloadPlugin::transfer(const CAPPluginCall& call, std::string url, std::string fileName,
                              std::function<void(platform::DownloadTaskResult)> finished) {
    auto services = platform();
    auto key = active_->add(url, fileName);
    platform::DownloadRequest request{url, {}, {}};
    request.progress = [plugin = weak_from_this(), active = active_, key, url,
                        fileName](const platform::DownloadProgress& progress) {
        active->progressed(key, progress);
        if (auto self = plugin.lock()) {
            self->notifyListeners(
                "downloadProgress",
                {{"event", "downloadProgress"},
                 {"url", url},
                 {"fileName", fileName},
                 {"received", progress.received},
                 {"total", progress.total ? JSObject(*progress.total) : JSObject(nullptr)},
                 {"bytesPerSecond", progress.bytesPerSecond}});
        }
    };
    request.completion = [services, active = active_, key, call,
                          finished = std::move(finished)](platform::DownloadTaskResult result) {
        if (active->finish(key)) {
            if (result.location) {
                static_cast<void>(services.fileSystem->remove(*result.location));
            }
            call.reject("Download cancelled");
            return;
        }
        finished(std::move(result));
    };
    auto task = services.urlSession->downloadTask(std::move(request));
    if (!active_->started(key, task)) {
        services.urlSession->cancel(task);
    }
}

void DownloadPlugin::downloadFile(const CAPPluginCall& call) {
    auto url = requestedURL(call);
    if (!url) {
        return;
    }
    std::string fileName(call.getString("fileName").value_or(defaultFileName));
    if (!platform::isPlainFileName(fileName)) {
        call.reject("Invalid file name");
        return;
    }
    auto services = platform();
    transfer(call, *url, fileName, [services, call, fileName](platform::DownloadTaskResult result) {
        fs::path destination = downloadsFolder(*services.fileSystem) / fileName;
        if (auto failure = store(services, result, destination, false)) {
            call.reject(*failure);
            return;
        }
        call.resolve({{"path", destination.string()}});
    });
}

void DownloadPlugin::downloadAndInstall(const CAPPluginCall& call) {
    auto url = requestedURL(call);
    if (!url) {
        return;
    }
    auto services = platform();
    transfer(call, *url, std::string(packageName),
             [services, call](platform::DownloadTaskResult result) {
                 fs::path package =
                     services.fileSystem->directory(platform::Directory::caches) / packageName;
                 if (auto failure = store(services, result, package, true)) {
                     call.reject(*failure);
                     return;
                 }
                 open(services, package, call);
             });
}

void DownloadPlugin::cancelDownload(const CAPPluginCall& call) {
    auto fileName = call.getString("fileName");
    if (!fileName) {
        call.reject("fileName required");
        return;
    }
    auto [count, tasks] = active_->cancel(std::string(*fileName));
    for (auto task : tasks) {
        platform().urlSession->cancel(task);
    }
    call.resolve({{"cancelled", count}});
}

void DownloadPlugin::listDownloads(const CAPPluginCall& call) {
    auto entries =
        platform().fileSystem->contentsWithSizes(downloadsFolder(*platform().fileSystem));
    if (refusedForLink(call, entries)) {
        return;
    }
    JSObject files = JSObject::array();
    if (entries.ok()) {
        for (const auto& entry : entries.value()) {
            if (entry.size) {
                files.push_back({{"name", entry.name}, {"size", *entry.size}});
            }
        }
    }
    call.resolve({{"files", std::move(files)}, {"active", active_->list()}});
}

void DownloadPlugin::deleteDownload(const CAPPluginCall& call) {
    auto& files = *platform().fileSystem;
    deleteNamedFile(
        call, files, [&files] { return downloadsFolder(files); }, "fileName");
}

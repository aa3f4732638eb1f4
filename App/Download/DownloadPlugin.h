#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "App/Download/ActiveDownloads.h"

#include "App/Bridge/CAPPlugin.h"
#include "App/Bridge/CAPPluginCall.h"

// Fetches files into the container: `downloadFile` into Documents/Downloads under a name the
// web application picks (default "audio.mp3"), `downloadAndInstall` into Caches/update.ipa,
// which the system is then asked to open. Each method starts one transfer and returns; the call
// is answered once, from the transfer's completion (or the main queue, for opening).
//
// Only a 2xx response is stored, and it replaces an earlier file atomically: a failed download
// never costs the file that was there.
//
// While a body arrives the plugin sends "downloadProgress" events (see URLSession for how often).
// `cancelDownload` ends every unanswered call to a name ("update.ipa" for packages);
// `listDownloads` gives the files in Downloads and the unanswered calls; `deleteDownload` removes
// a file there as the store's `deleteFile` does.
class DownloadPlugin : public CAPPlugin {
public:
    using CAPPlugin::CAPPlugin;

    void downloadFile(const CAPPluginCall& call);
    void downloadAndInstall(const CAPPluginCall& call);
    void cancelDownload(const CAPPluginCall& call);
    void listDownloads(const CAPPluginCall& call);
    void deleteDownload(const CAPPluginCall& call);

private:
    // Starts the transfer, known as `fileName` while it runs, and hands its result to `finished`
    // unless the call was cancelled meanwhile; then it answers "Download cancelled" itself.
    void transfer(const CAPPluginCall& call, std::string url, std::string fileName,
                  std::function<void(platform::DownloadTaskResult)> finished);

    // Reads and checks "url"; gives it, or nothing after rejecting the call.
    std::optional<std::string> requestedURL(const CAPPluginCall& call) const;

    std::shared_ptr<ActiveDownloads> active_ = std::make_shared<ActiveDownloads>();
};

#pragma once

#include <filesystem>

#include "App/Bridge/CAPPlugin.h"
#include "App/Bridge/CAPPluginCall.h"

// Fetches files into the container: `downloadFile` into Documents/Downloads under a name the
// web application picks (default "audio.mp3"), `downloadAndInstall` into Caches/update.ipa,
// which the system is then asked to open. Each method starts one transfer and returns; the call
// is answered once, from the transfer's completion (or the main queue, for opening).
//
// Only a 2xx response is stored, and it replaces an earlier file atomically: a failed download
// never costs the file that was there.
class DownloadPlugin : public CAPPlugin {
public:
    using CAPPlugin::CAPPlugin;

    void downloadFile(const CAPPluginCall& call);
    void downloadAndInstall(const CAPPluginCall& call);

private:
    // Reads and checks "url"; gives it, or nothing after rejecting the call.
    std::optional<std::string> requestedURL(const CAPPluginCall& call) const;
};

#pragma once

#include <filesystem>

#include "App/Bridge/CAPPlugin.h"
#include "App/Bridge/CAPPluginCall.h"

// Keeps files for offline use in the store, the folder "offline" of Application Support: one flat
// folder whose listing is the catalogue. Beside it: scratch files in "offline_temp" of the
// temporary folder, storage figures, and a device identifier kept in "device_id.txt".
//
// Names are single path components: an empty name, ".", "..", or one holding "/" or NUL is
// refused before any disk work, so no call reaches outside the store. Contents cross the bridge
// as strict base64. Each method answers its call before it returns.
class OfflineStoragePlugin : public CAPPlugin {
public:
    using CAPPlugin::CAPPlugin;

    // Replaces the file atomically: a failed write leaves the old content whole.
    void writeFile(const CAPPluginCall& call);
    void readFile(const CAPPluginCall& call);
    void deleteFile(const CAPPluginCall& call);
    void fileExists(const CAPPluginCall& call);
    void getStorageInfo(const CAPPluginCall& call);
    void getDeviceId(const CAPPluginCall& call);
    void writeTempFile(const CAPPluginCall& call);
    void cleanTempFiles(const CAPPluginCall& call);
    void getFreeSpace(const CAPPluginCall& call);
    // The store's names, but for those that are not UTF-8: the page could not name them back.
    void listFiles(const CAPPluginCall& call);

private:
    // The store and scratch folders, worked out anew on every use and made again when missing.
    std::filesystem::path offlineDirectory() const;
    std::filesystem::path offlineTempDirectory() const;
    // The stored file a call names, or nothing after rejecting the call.
    std::optional<std::filesystem::path> storedFile(const CAPPluginCall& call) const;
};

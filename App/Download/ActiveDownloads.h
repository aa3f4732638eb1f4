#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "App/Bridge/JSObject.h"
#include "Platform/URLSession.h"

// The download calls accepted and not yet answered, with how far each has come, so that they can
// be listed and cancelled by the name they will be stored under. Safe from any thread.
class ActiveDownloads {
public:
    using Key = std::uint64_t;

    Key add(std::string url, std::string fileName);
    // Notes the session's task for the call; false when the call was cancelled before it had
    // one, and the task must then be cancelled by the caller.
    bool started(Key key, platform::URLSession::TaskId task);
    void progressed(Key key, const platform::DownloadProgress& progress);
    // Takes the call out, as it is about to be answered; true when it was cancelled, and must be
    // answered so.
    bool finish(Key key);
    // Marks every call to `fileName` cancelled. Gives how many, and the tasks of those that have
    // one, for the caller to cancel.
    std::pair<int, std::vector<platform::URLSession::TaskId>> cancel(const std::string& fileName);
    // [{"url", "fileName", "received", "total"}, …] in the order the calls came.
    JSObject list() const;

private:
    struct Entry {
        std::string url;
        std::string fileName;
        std::optional<platform::URLSession::TaskId> task;
        platform::DownloadProgress progress;
        bool cancelled = false;
    };

    mutable std::mutex mutex_;
    Key lastKey_ = 0;
    std::map<Key, Entry> entries_;
};

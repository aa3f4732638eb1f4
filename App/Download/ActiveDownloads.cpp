#include "App/Download/ActiveDownloads.h"

ActiveDownloads::Key ActiveDownloads::add(std::string url, std::string fileName) {
    std::lock_guard lock(mutex_);
    entries_.emplace(++lastKey_, Entry{std::move(url), std::move(fileName), {}, {}, false});
    return lastKey_;
}

bool ActiveDownloads::started(Key key, platform::URLSession::TaskId task) {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(key);
    if (found == entries_.end()) {
        // Already answered: the task has nothing left to cancel.
        return true;
    }
    found->second.task = task;
    return !found->second.cancelled;
}

void ActiveDownloads::progressed(Key key, const platform::DownloadProgress& progress) {
    std::lock_guard lock(mutex_);
    if (auto found = entries_.find(key); found != entries_.end()) {
        found->second.progress = progress;
    }
}

bool ActiveDownloads::finish(Key key) {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(key);
    bool cancelled = found != entries_.end() && found->second.cancelled;
    if (found != entries_.end()) {
        entries_.erase(found);
    }
    return cancelled;
}

std::pair<int, std::vector<platform::URLSession::TaskId>> ActiveDownloads::cancel(
    const std::string& fileName) {
    std::lock_guard lock(mutex_);
    int count = 0;
    std::vector<platform::URLSession::TaskId> tasks;
    for (auto& [key, entry] : entries_) {
        if (entry.fileName != fileName || entry.cancelled) {
            continue;
        }
        entry.cancelled = true;
        ++count;
        if (entry.task) {
            tasks.push_back(*entry.task);
        }
    }
    return {count, std::move(tasks)};
}

JSObject ActiveDownloads::list() const {
    std::lock_guard lock(mutex_);
    JSObject active = JSObject::array();
    for (const auto& [key, entry] : entries_) {
        active.push_back({{"url", entry.url},
                          {"fileName", entry.fileName},
                          {"received", entry.progress.received},
                          {"total", entry.progress.total ? JSObject(*entry.progress.total)
                                                         : JSObject(nullptr)}});
    }
    return active;
}

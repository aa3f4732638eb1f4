#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Error.h"

namespace platform {

struct DataTaskResult {
    std::optional<std::string> data;
    long statusCode = 0;
    std::optional<Error> error;
};

// The body of a download lies in a temporary file at `location`, which the session removes as
// soon as the completion returns; move it away to keep it.
struct DownloadTaskResult {
    std::optional<std::filesystem::path> location;
    long statusCode = 0;
    std::optional<Error> error;
};

// How far a download's body has come: bytes as the server sent them (never decoded), its full
// size when the server announced one, and the rate over the last moments.
struct DownloadProgress {
    std::uint64_t received = 0;
    std::optional<std::uint64_t> total;
    std::uint64_t bytesPerSecond = 0;
};

struct DownloadRequest {
    std::string url;
    // Runs on the completion thread once the body starts, at most about four times a second
    // while it arrives, and once when it is whole, before the completion. May be empty.
    std::function<void(const DownloadProgress&)> progress;
    std::function<void(DownloadTaskResult)> completion;
};

// The shared HTTP client. Starting a task is safe from any thread; completions run once each, on
// the session's own completion thread.
class URLSession {
public:
    using TaskId = std::uint64_t;

    virtual ~URLSession() = default;

    // True when the text parses as an absolute URL with a scheme (any scheme).
    virtual bool isValidURL(std::string_view text) const = 0;

    // Fetches a small body into memory (the session bounds its size).
    virtual void dataTask(std::string url, std::function<void(DataTaskResult)> completion) = 0;

    // Streams a body to a temporary file; never holds it in memory. A body cut off part-way is
    // taken up again where it stopped, a few times, when the server can say it is the same one.
    virtual TaskId downloadTask(DownloadRequest request) = 0;

    // Ends a download whether it runs or waits: its completion runs soon after with an error and
    // no file. Nothing for a task that has completed. Safe from any thread.
    virtual void cancel(TaskId task) = 0;
};

}  // namespace platform

#pragma once

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

// The shared HTTP client. Starting a task is safe from any thread; completions run once each, on
// the session's own completion thread.
class URLSession {
public:
    virtual ~URLSession() = default;

    // True when the text parses as an absolute URL with a scheme (any scheme).
    virtual bool isValidURL(std::string_view text) const = 0;

    // Fetches a small body into memory (the session bounds its size).
    virtual void dataTask(std::string url, std::function<void(DataTaskResult)> completion) = 0;

    // Streams a body to a temporary file; never holds it in memory.
    virtual void downloadTask(std::string url,
                              std::function<void(DownloadTaskResult)> completion) = 0;
};

}  // namespace platform

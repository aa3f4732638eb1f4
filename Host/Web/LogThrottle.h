#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace host {

// Keeps a log that strangers can make grow (refused requests, failing accepts) to a few lines:
// at most `limit` lines in each `interval`, the rest held back. The first line let through after
// some were held back says how many. Safe from any thread.
class LogThrottle {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    LogThrottle(std::size_t limit, std::chrono::steady_clock::duration interval,
                Clock clock = &std::chrono::steady_clock::now);

    // The line to write, or nothing when it is held back.
    std::optional<std::string> admit(std::string_view line);
    // Writes the line to the log unless it is held back.
    void log(std::string_view line);

private:
    std::mutex mutex_;
    std::size_t limit_;
    std::chrono::steady_clock::duration interval_;
    Clock clock_;
    std::optional<std::chrono::steady_clock::time_point> windowStart_;
    std::size_t admitted_ = 0;
    std::size_t heldBack_ = 0;
};

}  // namespace host

#include "Host/Web/LogThrottle.h"

#include "Platform/Log.h"

namespace host {

LogThrottle::LogThrottle(std::size_t limit, std::chrono::steady_clock::duration interval,
                         Clock clock)
    : limit_(limit), interval_(interval), clock_(std::move(clock)) {}

std::optional<std::string> LogThrottle::admit(std::string_view line) {
    auto now = clock_();
    std::lock_guard lock(mutex_);
    if (!windowStart_ || now - *windowStart_ >= interval_) {
        windowStart_ = now;
        admitted_ = 0;
    }
    if (admitted_ == limit_) {
        ++heldBack_;
        return std::nullopt;
    }
    ++admitted_;
    std::string text(line);
    if (heldBack_ > 0) {
        text += " [" + std::to_string(heldBack_) + " like it held back]";
        heldBack_ = 0;
    }
    return text;
}

void LogThrottle::log(std::string_view line) {
    if (auto text = admit(line)) {
        platform::log(*text);
    }
}

}  // namespace host

#include "Platform/Log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace platform {

void log(std::string_view line) {
    static std::mutex mutex;
    std::string text = "musicshell: ";
    text.append(line);
    text.push_back('\n');
    std::lock_guard lock(mutex);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace platform

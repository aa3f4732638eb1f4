#include "Platform/Log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace platform {

namespace {
// Function statics: a line may be logged before main.
std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}
std::string& logName() {
    static std::string name = "musicshell";
    return name;
}
}  // namespace

void setLogName(std::string name) {
    std::lock_guard lock(logMutex());
    logName() = std::move(name);
}

void log(std::string_view line) {
    std::lock_guard lock(logMutex());
    std::string text = logName() + ": ";
    text.append(line);
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace platform

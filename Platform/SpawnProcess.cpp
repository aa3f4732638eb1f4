#include "Platform/SpawnProcess.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <initializer_list>

extern char** environ;

namespace platform {

int spawnProcess(pid_t& pid, const char* program, char* const arguments[]) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGPIPE}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    int error = ::posix_spawnp(&pid, program, nullptr, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    return error;
}

std::optional<std::string> findProgram(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::string_view folders = path ? path : "/usr/bin:/bin";
    while (!folders.empty()) {
        std::size_t colon = folders.find(':');
        std::string candidate = std::string(folders.substr(0, colon)) + "/" + std::string(name);
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
    }
    return std::nullopt;
}

int startDetached(const std::vector<std::string>& command) {
    std::vector<std::string> line = {"/bin/sh", "-c", "\"$@\" </dev/null >/dev/null 2>&1 &",
                                     "musicshell-open"};
    line.insert(line.end(), command.begin(), command.end());
    std::vector<char*> arguments;
    for (auto& argument : line) {
        arguments.push_back(argument.data());
    }
    arguments.push_back(nullptr);
    pid_t pid = 0;
    if (int error = spawnProcess(pid, "/bin/sh", arguments.data())) {
        return error;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return 0;
}

}  // namespace platform

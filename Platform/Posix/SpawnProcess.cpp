#include "Platform/Posix/SpawnProcess.h"

#include <fcntl.h>
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
    // Standard input carries our requests and standard output our answers: a child that read
    // the one would steal requests, one that printed to the other would corrupt the protocol.
    // What it prints goes to our log; any other descriptor of ours is none of its business.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    int error = ::posix_spawnp(&pid, program, &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
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

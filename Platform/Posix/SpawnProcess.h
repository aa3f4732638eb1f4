#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Starts `program` as a process of its own would start: nothing blocked, SIGINT, SIGTERM and
// SIGPIPE at their defaults. The host blocks the first two in all its threads and ignores the
// third, and a child would otherwise inherit both. Its standard input is /dev/null, its standard
// output our standard error (with its own), and it gets no other descriptor of ours. Searches
// $PATH when `program` has no slash.
// Gives posix_spawn's error number, 0 once started.
int spawnProcess(pid_t& pid, const char* program, char* const arguments[]);

// The program's full path when it is on the PATH.
std::optional<std::string> findProgram(std::string_view name);

// Runs `command` in the background of a shell that ends at once, so that it outlives nobody's
// wait and holds none of the caller's standard streams; waits for that shell alone. Gives
// posix_spawn's error number, 0 once started.
int startDetached(const std::vector<std::string>& command);

}  // namespace platform

#pragma once

#include <sys/types.h>

namespace platform {

// Starts `program` as a process of its own would start: nothing blocked, SIGINT, SIGTERM and
// SIGPIPE at their defaults. The host blocks the first two in all its threads and ignores the
// third, and a child would otherwise inherit both. Searches $PATH when `program` has no slash.
// Gives posix_spawn's error number, 0 once started.
int spawnProcess(pid_t& pid, const char* program, char* const arguments[]);

}  // namespace platform

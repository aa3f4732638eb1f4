#pragma once

#include <string>
#include <string_view>

namespace platform {

// Writes one diagnostic line to standard error. Safe from any thread.
void log(std::string_view line);
// The program's name the lines start with: "musicshell" until set, once, at start.
void setLogName(std::string name);

}  // namespace platform

#pragma once

#include <string_view>

namespace platform {

// Writes one diagnostic line to standard error. Safe from any thread.
void log(std::string_view line);

}  // namespace platform

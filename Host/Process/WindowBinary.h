#pragma once

#include <optional>
#include <string_view>

#include "Host/Core/HostConfiguration.h"

namespace host {

// Opens the window by replacing this process with the window's binary, given the same command
// line: `musicshell-window` beside this binary in a build tree, libexec/musicshell/ in an
// installed one. Gives nothing, once the log says why, when that binary cannot be started.
std::optional<int> openWindowInItsOwnBinary(const HostConfiguration& configuration,
                                            std::string_view delegateClassName, int argc,
                                            char** argv);

}  // namespace host

#include "Host/Process/WindowBinary.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Host/Process/SiblingProgram.h"
#include "Platform/Log.h"

namespace host {

std::optional<int> openWindowInItsOwnBinary(const HostConfiguration&, std::string_view, int,
                                            char** argv) {
    auto binary = siblingProgram("musicshell-window");
    ::execv(binary.c_str(), argv);
    platform::log("cannot open a window: " + binary.string() + ": " + std::strerror(errno) +
                  "; serving the web application for a browser instead");
    return std::nullopt;
}

}  // namespace host

#pragma once

#include <string_view>

#include "Host/HostConfiguration.h"

namespace host {

// What the operating system does for an application on a device: claims its container, installs
// the platform services and assembles the application on them, shows it in a window (WindowHost)
// or serves it to a browser or over stdio, and turns the main loop until it quits.
class ApplicationHost {
public:
    ApplicationHost(HostConfiguration configuration, std::string_view delegateClassName);

    // Gives the process's exit status. A window hands the process's arguments to the window
    // that already runs on the same container, if any.
    int run(int argc, char** argv);

private:
    int runWithoutWindow();

    HostConfiguration configuration_;
    std::string_view delegateClassName_;
};

}  // namespace host

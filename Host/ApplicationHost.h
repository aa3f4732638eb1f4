#pragma once

#include <string_view>

#include "Host/HostConfiguration.h"

namespace host {

// What the operating system does for an application on a device: installs its container and
// platform services, makes its delegate, builds the window and root view controller of its main
// interface, loads the view, serves the transport and turns the main loop until it quits.
class ApplicationHost {
public:
    ApplicationHost(HostConfiguration configuration, std::string_view delegateClassName);

    // Gives the process's exit status.
    int run();

private:
    HostConfiguration configuration_;
    std::string_view delegateClassName_;
};

}  // namespace host

#pragma once

#include <optional>
#include <string_view>

#include "Host/Core/HostConfiguration.h"

namespace host {

// What the operating system does for an application on a device: claims its container, installs
// the platform services and assembles the application on them, shows it in a window (WindowHost)
// or serves it to a browser or over stdio, and turns the main loop until it quits.
class ApplicationHost {
public:
    // Opens the application's window: gives the process's exit status, or nothing, once the log
    // says why, when there is none to open here and the application is served instead.
    using WindowOpener = std::optional<int> (*)(const HostConfiguration& configuration,
                                                std::string_view delegateClassName, int argc,
                                                char** argv);

    ApplicationHost(HostConfiguration configuration, std::string_view delegateClassName);

    // By default a window opens in the window's own binary, the only one that loads the
    // toolkit and the web engine, so that serving and stdio start without them. That binary
    // installs the way it opens the window itself before main runs.
    static void openWindowsWith(WindowOpener opener);

    // Gives the process's exit status. A window hands the process's arguments to the window
    // that already runs on the same container, if any.
    int run(int argc, char** argv);

private:
    int runWithoutWindow();
    // Prints, or opens, a fresh address from the server on the container.
    int logIn() const;

    HostConfiguration configuration_;
    std::string_view delegateClassName_;
};

}  // namespace host

// Linked into the window's binary alone: there a window opens in the process itself.
#include <cstdlib>

#include "Host/ApplicationHost.h"
#include "Host/Process/SignalWatcher.h"
#include "Host/Window/WindowHost.h"
#include "Host/Window/WindowRenderer.h"
#include "Platform/Log.h"

namespace host {

namespace {
bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (const char* value = std::getenv(name); value && *value) {
            return true;
        }
    }
    return false;
}

std::optional<int> openWindowHere(const HostConfiguration& configuration,
                                  std::string_view delegateClassName, int argc, char** argv) {
    SignalWatcher::blockSignals();
    if (hasDisplay()) {
        chooseWindowRenderer();
        return WindowHost(configuration, delegateClassName).run(argc, argv);
    }
    if (auto status = WindowHost::handOver(configuration, argc, argv)) {
        return status;
    }
    platform::log(
        "no display ($DISPLAY and $WAYLAND_DISPLAY are unset): serving the web application for "
        "a browser instead");
    return std::nullopt;
}

const bool installed = (ApplicationHost::openWindowsWith(&openWindowHere), true);
}  // namespace

}  // namespace host

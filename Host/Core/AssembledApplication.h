#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "Host/Core/Bridge.h"
#include "Host/Core/HostConfiguration.h"
#include "Host/Core/HostRequests.h"
#include "Host/Core/RuntimeClassTable.h"
#include "Platform/ApplicationDelegate.h"
#include "Platform/SerialQueue.h"

namespace host {

// The application assembled on a set of platform services, as a device assembles one it starts:
// the delegate, the window with the root view controller of the main interface, the bridge with
// its plugins, and the host requests through which a client stands in for the operating system.
// The transports and the main loop are the caller's, so the desktop host, tests and fuzzers
// share this assembly.
class AssembledApplication {
private:
    struct Passkey {};

public:
    // Gives nothing, after a log line, when the runtime knows no class of the delegate's or the
    // root view controller's name. `mainQueue` runs on the main thread and outlives the result.
    static std::unique_ptr<AssembledApplication> assemble(platform::Services services,
                                                          SerialQueue& mainQueue,
                                                          std::string_view delegateClassName,
                                                          const HostConfiguration& configuration);

    AssembledApplication(Passkey, platform::Services services, SerialQueue& mainQueue,
                         const platform::ApplicationDelegateClass& delegateClass,
                         const platform::ViewControllerClass& rootClass,
                         const HostConfiguration& configuration);
    AssembledApplication(const AssembledApplication&) = delete;
    AssembledApplication& operator=(const AssembledApplication&) = delete;

    // On the main thread: tells the delegate the application has launched, then loads the root
    // view, which creates the plugins.
    void launch();
    // On the main thread: hands the delegate a URL the user opened, as the system does; gives
    // whether the application handled it.
    bool openURL(const std::string& url);

    const std::shared_ptr<Bridge>& bridge() const { return bridge_; }
    HostRequests& hostRequests() { return hostRequests_; }

private:
    RuntimeClassTable classes_;
    platform::Application application_;
    std::shared_ptr<platform::ApplicationDelegate> delegate_;
    std::shared_ptr<platform::Window> window_;
    std::shared_ptr<Bridge> bridge_;
    // Whether a URL handed to the application is one of the schemes it claims.
    std::function<bool(std::string_view)> receivesURL_;
    HostRequests hostRequests_;
};

}  // namespace host

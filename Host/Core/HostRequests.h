#pragma once

#include <memory>

#include "App/Bridge/CAPPluginCall.h"
#include "Host/Core/RequestParser.h"
#include "Platform/ApplicationDelegate.h"
#include "Platform/SerialQueue.h"
#include "Platform/Services.h"

namespace host {

// The requests through which a client stands in for the operating system: media controls,
// reading the now-playing display, the audio session and the command center, opening a URL in
// the application and loading its view again.
class HostRequests {
public:
    HostRequests(platform::Services services, SerialQueue& mainQueue,
                 platform::Application& application,
                 std::shared_ptr<platform::ApplicationDelegate> delegate);

    // Handles any request but "quit". Media controls run on the calling thread, as the system
    // delivers them on its own; the application's delegate and view run on the main queue.
    CAPCallResult handle(const Request& request);

private:
    CAPCallResult remoteCommand(const JSObject& members);
    CAPCallResult nowPlaying() const;
    CAPCallResult audioSession() const;
    CAPCallResult commandCenter() const;
    CAPCallResult openURL(const JSObject& members);
    CAPCallResult reloadView();

    platform::Services services_;
    SerialQueue& mainQueue_;
    platform::Application& application_;
    std::shared_ptr<platform::ApplicationDelegate> delegate_;
};

}  // namespace host

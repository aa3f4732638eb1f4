#pragma once

#include <functional>
#include <memory>
#include <string_view>

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
                 std::shared_ptr<platform::ApplicationDelegate> delegate,
                 std::function<bool(std::string_view)> receivesURL);

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
    // An "openURL" of a scheme the application does not claim is not handed to it.
    std::function<bool(std::string_view)> receivesURL_;
};

}  // namespace host

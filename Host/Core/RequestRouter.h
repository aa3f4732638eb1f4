#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Host/Core/Bridge.h"
#include "Host/Core/HostRequests.h"
#include "Host/Core/RequestParser.h"

namespace host {

// The one path of a request line, whatever transport carried it, from its text to the bridge:
// a line that cannot be read is answered with why; a host request goes to the host requests
// where the transport stands in for the operating system, and is refused from a page, which is
// none; a plugin call, with any bytes the transport carried beside its text, goes to the bridge.
// Not thread-safe: one caller at a time.
class RequestRouter {
public:
    // Bytes a transport carried beside a line's text, for the option `key` (nothing: the
    // method's payload argument, whatever its name).
    struct Carried {
        std::optional<std::string> key;
        CAPPayload payload;
    };
    // Sees the request read from the line, before it is routed, and gives what was carried
    // beside it.
    using Carrier = std::function<std::optional<Carried>(Request& request)>;

    // What a line comes to: a call for the bridge (answered through the responder it was given),
    // an answer to give at once, or the end ("quit", from standard input).
    struct Routed {
        std::optional<std::pair<std::string, CAPPluginCall>> call;    // the plugin, the call
        std::optional<std::pair<std::string, CAPCallResult>> answer;  // the raw id, the result
        bool quit = false;
    };

    // Without `hostRequests`, host requests are refused.
    RequestRouter(std::shared_ptr<Bridge> bridge, HostRequests* hostRequests);

    Routed route(std::string line, const std::shared_ptr<CAPCallResponder>& responder,
                 const Carrier& carrier = {});
    // A page's message: its call queued for the bridge, anything else answered at once, both
    // through `responder`. `bytes` stand for the call's payload, as they are, without base64.
    void handle(std::string message, std::optional<std::string> bytes,
                const std::shared_ptr<CAPCallResponder>& responder);

private:
    std::shared_ptr<Bridge> bridge_;
    HostRequests* hostRequests_;
    RequestParser parser_;
};

}  // namespace host

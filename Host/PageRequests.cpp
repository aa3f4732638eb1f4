#include "Host/PageRequests.h"

namespace host {

PageRequests::PageRequests(std::shared_ptr<Bridge> bridge) : bridge_(std::move(bridge)) {}

void PageRequests::handle(std::string message, std::optional<std::string> bytes,
                          const std::shared_ptr<CAPCallResponder>& responder) {
    message.reserve(message.size() + RequestParser::padding());
    ParsedRequest parsed = parser_.parse(std::move(message));
    if (!parsed.request) {
        responder->respond(parsed.id, {false, std::nullopt, parsed.error});
        return;
    }
    Request& request = *parsed.request;
    if (!request.host.empty()) {
        responder->respond(request.id,
                           {false, std::nullopt, "Host requests are not accepted over the bridge"});
        return;
    }
    CAPPluginCall call(std::move(request.id), std::move(request.method), std::move(request.options),
                       responder);
    if (bytes) {
        call.attachBytes("data", std::move(*bytes));
    }
    bridge_->deliverLater(request.plugin, std::move(call));
}

}  // namespace host

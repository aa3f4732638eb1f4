#include "Host/Core/RequestRouter.h"

namespace host {

RequestRouter::RequestRouter(std::shared_ptr<Bridge> bridge, HostRequests* hostRequests)
    : bridge_(std::move(bridge)), hostRequests_(hostRequests) {}

RequestRouter::Routed RequestRouter::route(std::string line,
                                           const std::shared_ptr<CAPCallResponder>& responder,
                                           const Carrier& carrier) {
    // The line may be a whole file in base64: the parser takes it, so it is gone before the call
    // runs.
    line.reserve(line.size() + RequestParser::padding());
    ParsedRequest parsed = parser_.parse(std::move(line));
    Routed routed;
    if (!parsed.request) {
        routed.answer.emplace(std::move(parsed.id),
                              CAPCallResult{false, std::nullopt, parsed.error});
        return routed;
    }
    Request& request = *parsed.request;
    auto carried = carrier ? carrier(request) : std::nullopt;
    if (!request.host.empty()) {
        if (hostRequests_ == nullptr) {
            routed.answer.emplace(request.id,
                                  CAPCallResult{false, std::nullopt,
                                                "Host requests are not accepted over the bridge"});
        } else if (request.host == "quit") {
            routed.quit = true;
        } else {
            routed.answer.emplace(request.id, hostRequests_->handle(request));
        }
        return routed;
    }
    CAPPluginCall call(std::move(request.id), std::move(request.method), std::move(request.options),
                       responder);
    if (carried) {
        call.attachPayload(std::move(carried->key), std::move(carried->payload));
    }
    routed.call.emplace(std::move(request.plugin), std::move(call));
    return routed;
}

void RequestRouter::handle(std::string message, std::optional<std::string> bytes,
                           const std::shared_ptr<CAPCallResponder>& responder) {
    Routed routed = route(std::move(message), responder, [&bytes](Request&) {
        return bytes ? std::optional<Carried>(Carried{std::nullopt, CAPPayload(std::move(*bytes))})
                     : std::nullopt;
    });
    if (routed.call) {
        bridge_->deliverLater(routed.call->first, std::move(routed.call->second));
    } else if (routed.answer) {
        responder->respond(routed.answer->first, std::move(routed.answer->second));
    }
}

}  // namespace host

#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Host/Bridge.h"
#include "Host/MessageCodec.h"

namespace host {

// What a page may send over the bridge, whatever carries it: plugin calls in the stdio
// protocol's form. Host requests are refused: a page is no operating system. Not thread-safe:
// one caller at a time.
class PageRequests {
public:
    explicit PageRequests(std::shared_ptr<Bridge> bridge);

    // Queues the call a message holds for the bridge, which answers it through `responder`; a
    // message that holds no call is answered through `responder` at once. `bytes`, when given,
    // stand for the call's "data", as they are, without base64.
    void handle(std::string message, std::optional<std::string> bytes,
                const std::shared_ptr<CAPCallResponder>& responder);

private:
    std::shared_ptr<Bridge> bridge_;
    RequestParser parser_;
};

}  // namespace host

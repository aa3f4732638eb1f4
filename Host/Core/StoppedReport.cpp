#include "Host/Core/StoppedReport.h"

#include "Platform/Log.h"

namespace host {

namespace {
// Takes the answer to the host's own report, which no page waits for.
class StoppedReport : public CAPCallResponder {
public:
    void respond(const std::string&, CAPCallResult result) override {
        if (!result.resolved) {
            platform::log("cannot report the player stopped: " + result.message);
        }
    }
};
}  // namespace

void reportStoppedForPage(Bridge& bridge) {
    bridge.deliverLater("PlaybackStatusPlugin",
                        CAPPluginCall("\"no page\"", "updateStatus", JSObject{{"state", "stopped"}},
                                      std::make_shared<StoppedReport>()));
}

}  // namespace host

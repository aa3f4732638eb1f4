#include "Host/PagePresence.h"

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

PagePresence::PagePresence(const boost::asio::any_io_executor& executor,
                           std::shared_ptr<Bridge> bridge, std::chrono::milliseconds grace)
    : timer_(executor), bridge_(std::move(bridge)), grace_(grace) {}

void PagePresence::pageOpened() {
    ++pages_;
    timer_.cancel();
}

void PagePresence::pageClosed() {
    if (--pages_ > 0) {
        return;
    }
    timer_.expires_after(grace_);
    timer_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
        auto self = weak.lock();
        if (!error && self && self->pages_ == 0) {
            self->reportStopped();
        }
    });
}

void PagePresence::reportStopped() {
    bridge_->deliverLater("PlaybackStatusPlugin", CAPPluginCall("\"no page\"", "updateStatus",
                                                                JSObject{{"state", "stopped"}},
                                                                std::make_shared<StoppedReport>()));
}

}  // namespace host

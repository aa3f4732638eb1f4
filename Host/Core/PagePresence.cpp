#include "Host/Core/PagePresence.h"

#include "Host/Core/StoppedReport.h"

namespace host {

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
    reportStoppedForPage(*bridge_);
}

}  // namespace host

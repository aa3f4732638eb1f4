#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Host/Core/Bridge.h"

namespace host {

// Whether any page of a serve session is connected. Once the last one has been gone for the
// grace period (long enough for a reload), nothing can report what plays any more, so the host
// reports for the page: what a page's updateStatus({state: "stopped"}) would, as that very call,
// so the media widget shows Stopped instead of a clock that runs on for ever. For the server's
// network thread only; its owner destroys it before the server's I/O context.
class PagePresence : public std::enable_shared_from_this<PagePresence> {
public:
    PagePresence(const boost::asio::any_io_executor& executor, std::shared_ptr<Bridge> bridge,
                 std::chrono::milliseconds grace);

    void pageOpened();
    void pageClosed();

private:
    void reportStopped();

    boost::asio::steady_timer timer_;
    std::shared_ptr<Bridge> bridge_;
    std::chrono::milliseconds grace_;
    std::size_t pages_ = 0;
};

}  // namespace host

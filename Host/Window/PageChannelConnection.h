#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/local/stream_protocol.hpp>

#include "Host/Core/Bridge.h"
#include "Host/Core/PageBacklog.h"
#include "Host/Core/RequestRouter.h"

namespace host {

class PageChannel;

// One page's connection to the channel: calls in, answers and events out, one JSON line each, in
// the order they are given. A line over the size limit is answered "Request too large" and read
// to its end, and the connection goes on. Everything but `respond` and `deliverEvent` runs on the
// socket's thread; those two are safe from any thread, and write their line themselves when the
// socket takes it at once. A page that stops reading is cut off once too many lines wait behind
// the one being written.
class PageChannelConnection : public CAPCallResponder,
                              public std::enable_shared_from_this<PageChannelConnection> {
public:
    PageChannelConnection(boost::asio::local::stream_protocol::socket socket,
                          std::shared_ptr<Bridge> bridge, std::weak_ptr<PageChannel> channel,
                          std::size_t maxMessageBytes);

    void read();
    void respond(const std::string& callbackId, CAPCallResult result) override;
    void deliverEvent(std::string_view pluginName, std::string_view eventName,
                      const JSObject& data);

private:
    void take(std::string_view bytes);
    void refuseTooLarge();
    void send(std::string text);
    // With `mutex_` held.
    void writeNext();
    void endLocked();
    // On the socket's thread, once its read has ended.
    void close();

    boost::asio::local::stream_protocol::socket socket_;
    std::weak_ptr<PageChannel> channel_;
    RequestRouter requests_;
    std::size_t maxMessageBytes_;
    std::array<char, 65536> buffer_{};
    std::string line_;       // the line being read
    bool skipping_ = false;  // to the end of a line too large to take
    // What answering threads and the socket's share: whether lines are still written, and those
    // the socket has not taken yet (the front one is being written).
    std::mutex mutex_;
    PageBacklog outgoing_;
    bool open_ = true;
};

}  // namespace host

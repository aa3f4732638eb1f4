#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "Host/Core/Bridge.h"
#include "Host/Web/UserSocket.h"

namespace host {

class PageChannelConnection;

// The window page's fast road to the bridge: the extension WebKit loads into the page's process
// connects to a unix socket in the container, and each connection speaks the stdio protocol's
// lines. Only the user's own processes get in: the socket is the user's alone, and each peer's
// user is checked as well. The connection made last is the page's: events go to it alone.
//
// Made on any thread; runs on the thread that runs `context`. `deliverEvent` is safe from any.
class PageChannel : public std::enable_shared_from_this<PageChannel> {
public:
    // Listens at `folder`/channel, in place of any left by a run that was killed (the container
    // lock says none other runs), making the folder the user's alone. Throws std::system_error
    // when it cannot.
    PageChannel(boost::asio::io_context& context, const std::filesystem::path& folder,
                std::shared_ptr<Bridge> bridge, std::size_t maxMessageBytes);
    // Removes the socket and its folder.
    ~PageChannel();
    PageChannel(const PageChannel&) = delete;
    PageChannel& operator=(const PageChannel&) = delete;

    void accept();
    // Hands an event to the page's connection; false, doing nothing, when there is none.
    bool deliverEvent(std::string_view pluginName, std::string_view eventName,
                      const JSObject& data);
    // Called by a connection as it closes.
    void closed(const PageChannelConnection* connection);

private:
    void take(FileDescriptor peer);

    std::filesystem::path folderPath_;
    std::shared_ptr<UserSocket> socket_;
    boost::asio::io_context& context_;
    std::shared_ptr<Bridge> bridge_;
    std::size_t maxMessageBytes_;
    std::mutex mutex_;
    std::shared_ptr<PageChannelConnection> page_;  // guarded by mutex_
};

}  // namespace host

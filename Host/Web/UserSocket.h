#pragma once

#include <sys/un.h>

#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include "Platform/Posix/FileDescriptor.h"

namespace host {

// A unix socket that only the user's own processes get through: its mode is the user's alone,
// and each peer's user is checked as well, since the socket is open to all until its mode is set.
// Runs on the thread that runs the io_context it is made with.
class UserSocket : public std::enable_shared_from_this<UserSocket> {
public:
    // Listens at `name` in `folder`, held open so that the address stays short whatever the
    // folder's path, in place of any socket a run that was killed left there (the container lock
    // says none other runs). `refusal` is logged for a peer of another user. Throws
    // std::system_error when it cannot.
    UserSocket(boost::asio::io_context& context, FileDescriptor folder, std::string name,
               std::string refusal);
    // Removes the socket.
    ~UserSocket();
    UserSocket(const UserSocket&) = delete;
    UserSocket& operator=(const UserSocket&) = delete;

    // Hands each peer of the user's to `take`, for as long as the io_context runs. Out of
    // descriptors or memory, it tries again a little later: the peer waits in the kernel.
    void accept(std::function<void(FileDescriptor peer)> take);

    // The address of `name` in the open `folder`: a unix socket's path is limited to 107 bytes.
    static sockaddr_un address(int folder, const std::string& name);

private:
    void retryLater(std::function<void(FileDescriptor peer)> take);

    FileDescriptor folder_;
    std::string name_;
    std::string refusal_;
    boost::asio::local::stream_protocol::acceptor acceptor_;
    boost::asio::steady_timer retryTimer_;
};

}  // namespace host

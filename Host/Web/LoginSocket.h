#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>

#include "Host/Web/UserSocket.h"

namespace host {

// The way back in for a user who lost the printed address: `musicshell login` connects to a unix
// socket in the container the server holds and reads a fresh address, which logs in once like the
// printed one. Only the user's own processes get one: the socket is the user's alone, and each
// peer's user is checked as well, since the socket is open to all until its mode is set.
class LoginSocket {
public:
    // Listens at the container's .musicshell.login, in place of any left by a run that was
    // killed (the container lock says none other runs), and answers each connection with what
    // `issue` gives, on the thread that runs `context`. Throws std::system_error when it cannot.
    LoginSocket(boost::asio::io_context& context, const std::filesystem::path& container,
                std::function<std::string()> issue);
    void accept();

    // Asks the server on `container` for a fresh address. Gives nothing, after logging why, when
    // no server listens there or it answers nothing.
    static std::optional<std::string> ask(const std::filesystem::path& container);

private:
    boost::asio::io_context& context_;
    std::shared_ptr<UserSocket> socket_;
    std::function<std::string()> issue_;
};

}  // namespace host

#include "Host/Web/LoginSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/write.hpp>

#include "Platform/Log.h"

namespace asio = boost::asio;
using Local = asio::local::stream_protocol;

namespace host {

namespace {
constexpr const char* socketName = ".musicshell.login";

FileDescriptor openFolder(const std::filesystem::path& container) {
    return FileDescriptor(::open(container.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}
}  // namespace

LoginSocket::LoginSocket(asio::io_context& context, const std::filesystem::path& container,
                         std::function<std::string()> issue)
    : context_(context), issue_(std::move(issue)) {
    FileDescriptor folder = openFolder(container);
    if (!folder.valid()) {
        throw std::system_error(errno, std::generic_category(), "open the container");
    }
    socket_ = std::make_shared<UserSocket>(context, std::move(folder), socketName,
                                           "web: refused a login asked for by another user");
}

void LoginSocket::accept() {
    socket_->accept([&context = context_, issue = issue_](FileDescriptor peer) {
        auto socket = std::make_shared<Local::socket>(context);
        socket->assign(Local(), peer.release());
        auto line = std::make_shared<std::string>(issue() + "\n");
        // A peer that reads nothing holds up no one: the line fits in the socket's buffer.
        asio::async_write(*socket, asio::buffer(*line),
                          [socket, line](boost::system::error_code, std::size_t) {});
    });
}

std::optional<std::string> LoginSocket::ask(const std::filesystem::path& container) {
    auto folder = openFolder(container);
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto server = UserSocket::address(folder.get(), socketName);
    if (!folder.valid() || !fd.valid() ||
        ::connect(fd.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        platform::log("no musicshell serves the container " + container.string() +
                      " (start one with `musicshell serve`, or name its --container)");
        return std::nullopt;
    }
    // The server answers at once; one that hangs is not waited for long.
    timeval patience{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    std::string line;
    char buffer[256];
    for (ssize_t got; line.size() < 4096 && (got = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno != EINTR) {
            break;
        }
        line.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    if (!line.ends_with('\n')) {
        platform::log("the musicshell serving " + container.string() + " gave no address");
        return std::nullopt;
    }
    line.pop_back();
    return line;
}

}  // namespace host

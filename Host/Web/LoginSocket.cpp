#include "Host/Web/LoginSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <boost/asio/write.hpp>

#include "Platform/Log.h"

namespace asio = boost::asio;
using Local = asio::local::stream_protocol;

namespace host {

namespace {
constexpr const char* socketName = ".musicshell.login";

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

FileDescriptor openFolder(const std::filesystem::path& container) {
    return FileDescriptor(::open(container.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// The socket's address, through the open folder: a unix socket's path is limited to 107 bytes.
sockaddr_un address(const FileDescriptor& folder) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = "/proc/self/fd/" + std::to_string(folder.get()) + "/" + socketName;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}
}  // namespace

LoginSocket::LoginSocket(asio::io_context& context, const std::filesystem::path& container,
                         std::function<std::string()> issue)
    : folder_(openFolder(container)), acceptor_(context), issue_(std::move(issue)) {
    if (!folder_.valid()) {
        fail("open the container");
    }
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        fail("socket");
    }
    ::unlinkat(folder_.get(), socketName, 0);
    auto bound = address(folder_);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        ::fchmodat(folder_.get(), socketName, 0600, 0) != 0 || ::listen(fd.get(), 8) != 0) {
        fail("listen for logins");
    }
    acceptor_.assign(Local(), fd.release());
    acceptor_.native_non_blocking(true);
}

LoginSocket::~LoginSocket() {
    ::unlinkat(folder_.get(), socketName, 0);
}

void LoginSocket::accept() {
    acceptor_.async_wait(
        Local::acceptor::wait_read, [self = shared_from_this()](boost::system::error_code error) {
            if (error == asio::error::operation_aborted) {
                return;
            }
            if (!error) {
                FileDescriptor peer(
                    ::accept4(self->acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC));
                if (peer.valid()) {
                    self->answer(std::move(peer));
                }
            }
            self->accept();
        });
}

void LoginSocket::answer(FileDescriptor peer) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(peer.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        credentials.uid != ::geteuid()) {
        platform::log("web: refused a login asked for by another user");
        return;
    }
    auto socket = std::make_shared<Local::socket>(acceptor_.get_executor());
    socket->assign(Local(), peer.release());
    auto line = std::make_shared<std::string>(issue_() + "\n");
    // A peer that reads nothing holds up no one: the line fits in the socket's buffer.
    asio::async_write(*socket, asio::buffer(*line),
                      [socket, line](boost::system::error_code, std::size_t) {});
}

std::optional<std::string> LoginSocket::ask(const std::filesystem::path& container) {
    auto folder = openFolder(container);
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto server = address(folder);
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

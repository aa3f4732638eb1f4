#include "Host/Web/UserSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "Platform/Log.h"

namespace asio = boost::asio;
using Local = asio::local::stream_protocol;

namespace host {

namespace {
constexpr auto retryDelay = std::chrono::milliseconds(100);
}  // namespace

UserSocket::UserSocket(asio::io_context& context, FileDescriptor folder, std::string name,
                       std::string refusal)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      refusal_(std::move(refusal)),
      acceptor_(context),
      retryTimer_(context) {
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::unlinkat(folder_.get(), name_.c_str(), 0);
    auto bound = address(folder_.get(), name_);
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
        ::fchmodat(folder_.get(), name_.c_str(), 0600, 0) != 0 || ::listen(fd.get(), 8) != 0) {
        throw std::system_error(errno, std::generic_category(), "listen at " + name_);
    }
    acceptor_.assign(Local(), fd.release());
    acceptor_.native_non_blocking(true);
}

UserSocket::~UserSocket() {
    ::unlinkat(folder_.get(), name_.c_str(), 0);
}

void UserSocket::accept(std::function<void(FileDescriptor)> take) {
    acceptor_.async_wait(Local::acceptor::wait_read, [self = shared_from_this(),
                                                      take](boost::system::error_code error) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        FileDescriptor peer;
        int failure = 0;
        if (!error) {
            peer = FileDescriptor(
                ::accept4(self->acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC));
            failure = peer.valid() ? 0 : errno;
        }
        if (failure == EMFILE || failure == ENFILE || failure == ENOBUFS || failure == ENOMEM) {
            self->retryLater(take);
            return;
        }
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (peer.valid() &&
            (::getsockopt(peer.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
             credentials.uid != ::geteuid())) {
            platform::log(self->refusal_);
        } else if (peer.valid()) {
            take(std::move(peer));
        }
        self->accept(take);
    });
}

void UserSocket::retryLater(std::function<void(FileDescriptor)> take) {
    // At once again, the socket would still be ready and the thread would spin.
    retryTimer_.expires_after(retryDelay);
    retryTimer_.async_wait([self = shared_from_this(), take](boost::system::error_code error) {
        if (!error) {
            self->accept(take);
        }
    });
}

sockaddr_un UserSocket::address(int folder, const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = "/proc/self/fd/" + std::to_string(folder) + "/" + name;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

}  // namespace host

#include "Host/Window/PageChannel.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "Host/Window/PageChannelConnection.h"
#include "Platform/Log.h"

namespace asio = boost::asio;
using Local = asio::local::stream_protocol;

namespace host {

namespace {
constexpr const char* socketName = "channel";

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// The folder, the user's alone, held open: the socket's address goes through it, short whatever
// the container's path.
FileDescriptor openFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        fail("make the channel's folder");
    }
    FileDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid() || ::fchmod(fd.get(), 0700) != 0) {
        fail("open the channel's folder");
    }
    return fd;
}
}  // namespace

PageChannel::PageChannel(asio::io_context& context, const std::filesystem::path& folder,
                         std::shared_ptr<Bridge> bridge, std::size_t maxMessageBytes)
    : folderPath_(folder),
      folder_(openFolder(folder)),
      acceptor_(context),
      bridge_(std::move(bridge)),
      maxMessageBytes_(maxMessageBytes) {
    FileDescriptor fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        fail("socket");
    }
    ::unlinkat(folder_.get(), socketName, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = "/proc/self/fd/" + std::to_string(folder_.get()) + "/" + socketName;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::fchmodat(folder_.get(), socketName, 0600, 0) != 0 || ::listen(fd.get(), 8) != 0) {
        fail("listen for the page");
    }
    acceptor_.assign(Local(), fd.release());
    acceptor_.native_non_blocking(true);
}

PageChannel::~PageChannel() {
    ::unlinkat(folder_.get(), socketName, 0);
    ::rmdir(folderPath_.c_str());
}

void PageChannel::accept() {
    acceptor_.async_wait(
        Local::acceptor::wait_read, [self = shared_from_this()](boost::system::error_code error) {
            if (error == asio::error::operation_aborted) {
                return;
            }
            if (!error) {
                FileDescriptor peer(
                    ::accept4(self->acceptor_.native_handle(), nullptr, nullptr, SOCK_CLOEXEC));
                if (peer.valid()) {
                    self->take(std::move(peer));
                }
            }
            self->accept();
        });
}

void PageChannel::take(FileDescriptor peer) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(peer.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        credentials.uid != ::geteuid()) {
        platform::log("window: refused a channel asked for by another user");
        return;
    }
    Local::socket socket(acceptor_.get_executor());
    socket.assign(Local(), peer.release());
    auto connection = std::make_shared<PageChannelConnection>(std::move(socket), bridge_,
                                                              weak_from_this(), maxMessageBytes_);
    {
        // A new document's connection: the one before belonged to a page that is gone.
        std::lock_guard lock(mutex_);
        page_ = connection;
    }
    connection->read();
}

bool PageChannel::deliverEvent(std::string_view pluginName, std::string_view eventName,
                               const JSObject& data) {
    std::shared_ptr<PageChannelConnection> page;
    {
        std::lock_guard lock(mutex_);
        page = page_;
    }
    if (!page) {
        return false;
    }
    page->deliverEvent(pluginName, eventName, data);
    return true;
}

void PageChannel::closed(const PageChannelConnection* connection) {
    std::lock_guard lock(mutex_);
    if (page_.get() == connection) {
        page_.reset();
    }
}

}  // namespace host

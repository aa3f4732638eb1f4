#include "Host/Window/PageChannel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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
      socket_(std::make_shared<UserSocket>(context, openFolder(folder), socketName,
                                           "window: refused a channel asked for by another user")),
      context_(context),
      bridge_(std::move(bridge)),
      maxMessageBytes_(maxMessageBytes) {}

PageChannel::~PageChannel() {
    // The socket may outlive this by a moment, as its last wait ends.
    ::unlink((folderPath_ / socketName).c_str());
    ::rmdir(folderPath_.c_str());
}

void PageChannel::accept() {
    socket_->accept(
        [self = shared_from_this()](FileDescriptor peer) { self->take(std::move(peer)); });
}

void PageChannel::take(FileDescriptor peer) {
    Local::socket socket(context_);
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

#include "Host/Window/PageChannelConnection.h"

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "Host/Core/MessageLine.h"
#include "Host/Core/RequestParser.h"
#include "Host/Window/PageChannel.h"
#include "Platform/Log.h"

namespace asio = boost::asio;

namespace host {

namespace {
// The id a line too large to read begins with, so that the page's call it was still settles:
// the client writes it first. "null" when it is not there in the line's first bytes.
std::string leadingId(std::string_view line) {
    constexpr std::string_view opening = R"({"id":)";
    if (!line.starts_with(opening)) {
        return "null";
    }
    line.remove_prefix(opening.size());
    std::size_t end = 0;
    if (!line.empty() && line[0] == '"') {
        end = line.find_first_of("\"\\", 1);
        end = end != std::string_view::npos && line[end] == '"' ? end + 1 : 0;
    } else {
        while (end < line.size() && end < 20 &&
               (std::isdigit(static_cast<unsigned char>(line[end])) || line[end] == '-')) {
            ++end;
        }
    }
    bool complete = end > 0 && end < line.size() && (line[end] == ',' || line[end] == '}');
    return complete ? std::string(line.substr(0, end)) : "null";
}
}  // namespace

PageChannelConnection::PageChannelConnection(asio::local::stream_protocol::socket socket,
                                             std::shared_ptr<Bridge> bridge,
                                             std::weak_ptr<PageChannel> channel,
                                             std::size_t maxMessageBytes)
    : socket_(std::move(socket)),
      channel_(std::move(channel)),
      requests_(std::move(bridge), nullptr),
      maxMessageBytes_(maxMessageBytes) {}

void PageChannelConnection::read() {
    socket_.async_read_some(
        asio::buffer(buffer_),
        [self = shared_from_this()](boost::system::error_code error, std::size_t got) {
            if (error) {
                self->close();
                return;
            }
            self->take(std::string_view(self->buffer_.data(), got));
            self->read();
        });
}

void PageChannelConnection::take(std::string_view bytes) {
    while (!bytes.empty()) {
        std::size_t end = bytes.find('\n');
        std::string_view piece = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        if (!skipping_ && line_.size() + piece.size() > maxMessageBytes_) {
            line_.append(piece.substr(0, 64));
            refuseTooLarge();
        }
        if (skipping_) {
            skipping_ = end == std::string_view::npos;
            continue;
        }
        line_.append(piece);
        if (end == std::string_view::npos) {
            continue;
        }
        std::string text;
        text.reserve(line_.size() + RequestParser::padding());
        text.assign(line_);
        line_.clear();
        requests_.handle(std::move(text), std::nullopt, shared_from_this());
    }
}

void PageChannelConnection::refuseTooLarge() {
    send(MessageLine::answerText(leadingId(line_), {false, std::nullopt, "Request too large"}));
    line_.clear();
    line_.shrink_to_fit();
    skipping_ = true;
}

void PageChannelConnection::respond(const std::string& callbackId, CAPCallResult result) {
    send(MessageLine::answerText(callbackId, result));
}

void PageChannelConnection::deliverEvent(std::string_view pluginName, std::string_view eventName,
                                         const JSObject& data) {
    send(MessageLine::eventText(pluginName, eventName, data));
}

void PageChannelConnection::send(std::string text) {
    text += '\n';
    std::lock_guard lock(mutex_);
    if (!open_) {
        return;
    }
    if (outgoing_.empty()) {
        // Nothing waits: written at once from the thread that answers, as stdio writes, without
        // waking the network thread; that takes over only what the socket does not take now.
        ssize_t wrote =
            ::send(socket_.native_handle(), text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote == static_cast<ssize_t>(text.size())) {
            return;
        }
        if (wrote < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            endLocked();
            return;
        }
        text.erase(0, static_cast<std::size_t>(std::max<ssize_t>(wrote, 0)));
        outgoing_.push(std::move(text));
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            std::lock_guard held(self->mutex_);
            self->writeNext();
        });
        return;
    }
    if (!outgoing_.push(std::move(text))) {
        platform::log("window: the page stopped reading with " +
                      std::to_string(outgoing_.size() - 1) +
                      " lines waiting; its channel is closed");
        endLocked();
    }
}

void PageChannelConnection::writeNext() {
    if (!open_ || outgoing_.empty()) {
        return;
    }
    asio::async_write(socket_, asio::buffer(outgoing_.front()),
                      [self = shared_from_this()](boost::system::error_code error, std::size_t) {
                          std::lock_guard lock(self->mutex_);
                          self->outgoing_.pop();
                          if (error) {
                              self->endLocked();
                              return;
                          }
                          self->writeNext();
                      });
}

void PageChannelConnection::endLocked() {
    open_ = false;
    // What waits behind a line being written goes; that one ends as the socket does. Shut down,
    // not closed: the read that is waiting ends, and closes the socket on its own thread.
    outgoing_.dropWaiting();
    ::shutdown(socket_.native_handle(), SHUT_RDWR);
}

void PageChannelConnection::close() {
    {
        std::lock_guard lock(mutex_);
        if (socket_.is_open()) {
            endLocked();
            boost::system::error_code ignored;
            socket_.close(ignored);
        }
    }
    if (auto channel = channel_.lock()) {
        channel->closed(this);
    }
}

}  // namespace host

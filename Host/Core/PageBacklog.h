#pragma once

#include <cstddef>
#include <deque>
#include <string>

namespace host {

// What waits to go out to one page, the front message being written. A page that stops reading
// is told from a slow one by what waits behind the front: far more than a page that reads builds
// up, even with thousands of calls in flight. One message of any size may always wait, so a
// large answer still goes through. Not safe across threads: its owner guards it.
class PageBacklog {
public:
    // Queues `text`; false, queueing nothing, when the page counts as no longer reading.
    bool push(std::string text);
    // The front message has been written; the next becomes the front.
    void pop();
    // Keeps the front message alone, as it is being written.
    void dropWaiting();
    void clear();

    bool empty() const { return queue_.empty(); }
    std::size_t size() const { return queue_.size(); }
    std::string& front() { return queue_.front(); }

private:
    static constexpr std::size_t messageLimit = 16384;
    static constexpr std::size_t byteLimit = std::size_t{64} << 20;

    std::deque<std::string> queue_;
    std::size_t waitingBytes_ = 0;  // of those behind the front
};

}  // namespace host

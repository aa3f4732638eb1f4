#include "Host/Core/PageBacklog.h"

namespace host {

bool PageBacklog::push(std::string text) {
    std::size_t waiting = queue_.empty() ? 0 : queue_.size() - 1;
    if (waiting > 0 && (waiting >= messageLimit || waitingBytes_ + text.size() > byteLimit)) {
        return false;
    }
    if (!queue_.empty()) {
        waitingBytes_ += text.size();
    }
    queue_.push_back(std::move(text));
    return true;
}

void PageBacklog::pop() {
    queue_.pop_front();
    if (!queue_.empty()) {
        waitingBytes_ -= queue_.front().size();
    }
}

void PageBacklog::dropWaiting() {
    if (queue_.size() > 1) {
        queue_.resize(1);
    }
    waitingBytes_ = 0;
}

void PageBacklog::clear() {
    queue_.clear();
    waitingBytes_ = 0;
}

}  // namespace host

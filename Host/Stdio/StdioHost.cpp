#include "Host/Stdio/StdioHost.h"

#include "Platform/Log.h"

namespace host {

namespace {
// Strings in a long line from this length on are staged when they are an option in base64.
constexpr std::size_t stagingThreshold = std::size_t{1} << 20;
}  // namespace

StdioHost::StdioHost(std::shared_ptr<Bridge> bridge, HostRequests& hostRequests,
                     platform::Console& console, std::function<void()> quit, Options options)
    : bridge_(std::move(bridge)),
      console_(console),
      quit_(std::move(quit)),
      options_(options),
      reader_(options.inputFd, options.lineLimit, RequestParser::padding()),
      router_(bridge_, &hostRequests) {}

StdioHost::~StdioHost() {
    stop();
}

void StdioHost::start() {
    thread_ = std::thread([this] { readLoop(); });
}

void StdioHost::stop() {
    reader_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void StdioHost::readLoop() {
    std::string line;
    LineReader::Pieces pieces;
    if (options_.staging != nullptr) {
        pieces = [this](std::string_view piece) { stagePiece(piece); };
    }
    for (;;) {
        auto status = reader_.next(line, pieces);
        auto stager = std::move(stager_);  // what the line staged, if it came in pieces
        bool going = true;
        switch (status) {
            case LineReader::Status::line:
                going = handle(std::move(line));
                break;
            case LineReader::Status::pieces:
                going = handle(stager->takeLine(), stager.get());
                break;
            case LineReader::Status::tooLarge:
                MessageLine::printAnswer(console_, "null",
                                         {false, std::nullopt, "Request too large"});
                break;
            case LineReader::Status::end:
                if (options_.quitAtEndOfInput) {
                    waitForPendingCalls();
                    quit_();
                }
                return;
            case LineReader::Status::stopped:
                return;
        }
        if (!going) {
            quit_();
            return;
        }
    }
}

void StdioHost::stagePiece(std::string_view piece) {
    if (!stager_) {
        stager_ = std::make_unique<LineStager>(*options_.staging, stagingThreshold,
                                               options_.lineLimit + RequestParser::padding());
    }
    stager_->add(piece);
}

bool StdioHost::handle(std::string line, LineStager* stager) {
    RequestRouter::Carrier carrier;
    if (stager != nullptr) {
        carrier = [stager](Request& request) {
            stager->settle(request);
            return stager->takeCarried();
        };
    }
    auto routed = router_.route(std::move(line), shared_from_this(), carrier);
    if (routed.answer) {
        MessageLine::printAnswer(console_, routed.answer->first, routed.answer->second);
    }
    if (routed.call) {
        {
            std::lock_guard lock(mutex_);
            ++pending_;
        }
        bridge_->deliver(routed.call->first, routed.call->second);
    }
    return !routed.quit;
}

void StdioHost::respond(const std::string& callbackId, CAPCallResult result) {
    MessageLine::printAnswer(console_, callbackId, result);
    settleOne();
}

void StdioHost::respondStreamed(const std::string& callbackId, CAPStreamedResult result) {
    MessageLine::printStreamedAnswer(console_, callbackId, result);
    settleOne();
}

void StdioHost::settleOne() {
    {
        std::lock_guard lock(mutex_);
        --pending_;
    }
    settled_.notify_all();
}

void StdioHost::deliverEvent(std::string_view pluginName, std::string_view eventName,
                             const JSObject& data) {
    MessageLine::printEvent(console_, pluginName, eventName, data);
}

void StdioHost::waitForPendingCalls() {
    std::unique_lock lock(mutex_);
    if (!settled_.wait_for(lock, options_.drainTimeout, [this] { return pending_ == 0; })) {
        platform::log("end of input: " + std::to_string(pending_) +
                      " calls still unanswered; quitting anyway");
    }
}

}  // namespace host

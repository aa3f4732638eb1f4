#include "Host/StdioHost.h"

#include "Platform/Log.h"

namespace host {

namespace {
// Strings in a long line from this length on are staged when they are an option in base64.
constexpr std::size_t stagingThreshold = std::size_t{1} << 20;
}  // namespace

StdioHost::StdioHost(std::shared_ptr<Bridge> bridge, HostRequests& hostRequests,
                     platform::Console& console, std::function<void()> quit, Options options)
    : bridge_(std::move(bridge)),
      hostRequests_(hostRequests),
      console_(console),
      quit_(std::move(quit)),
      options_(options),
      reader_(options.inputFd, options.lineLimit, RequestParser::padding()) {}

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
    // The line may be a whole file in base64: the parser takes it, so it is gone before the call
    // runs.
    line.reserve(line.size() + RequestParser::padding());
    ParsedRequest parsed = parser_.parse(std::move(line));
    if (!parsed.request) {
        MessageLine::printAnswer(console_, parsed.id, {false, std::nullopt, parsed.error});
        return true;
    }
    Request& request = *parsed.request;
    if (stager != nullptr) {
        stager->settle(request);
    }
    if (request.host == "quit") {
        return false;
    }
    if (!request.host.empty()) {
        CAPCallResult result = hostRequests_.handle(request);
        MessageLine::printAnswer(console_, request.id, result);
        return true;
    }
    call(std::move(request), stager);
    return true;
}

void StdioHost::call(Request request, LineStager* stager) {
    {
        std::lock_guard lock(mutex_);
        ++pending_;
    }
    CAPPluginCall pluginCall(std::move(request.id), std::move(request.method),
                             std::move(request.options), shared_from_this());
    if (stager != nullptr) {
        stager->attachTo(pluginCall);
    }
    bridge_->deliver(request.plugin, pluginCall);
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

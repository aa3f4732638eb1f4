#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "Host/Core/Bridge.h"
#include "Host/Core/HostRequests.h"
#include "Host/Core/MessageLine.h"
#include "Host/Core/RequestRouter.h"
#include "Host/Stdio/LineReader.h"
#include "Host/Stdio/LineStager.h"

namespace host {

// The stdio transport: requests on standard input, answers and events on standard output, one
// JSON object a line. Requests are handled one at a time, in order, on the reader thread; all a
// request does at once (its answer, the events it raises) is written before the next is read.
// Asynchronous answers come later, matched by id.
class StdioHost : public CAPCallResponder,
                  public EventSink,
                  public std::enable_shared_from_this<StdioHost> {
public:
    struct Options {
        int inputFd = 0;
        std::size_t lineLimit = std::size_t{512} << 20;
        // How long the end of input waits for work in flight to be answered.
        std::chrono::milliseconds drainTimeout = std::chrono::seconds(30);
        // Whether the end of input ends the application, or only the reading.
        bool quitAtEndOfInput = true;
        // Where long base64 options (a file to store) are staged while their line is read; with
        // none, every line is held whole before it is parsed.
        platform::FileSystem* staging = nullptr;
    };

    // `quit` is called once, from the reader thread, after "quit" or at the end of input (when
    // the options say so).
    StdioHost(std::shared_ptr<Bridge> bridge, HostRequests& hostRequests,
              platform::Console& console, std::function<void()> quit, Options options);
    ~StdioHost() override;
    StdioHost(const StdioHost&) = delete;
    StdioHost& operator=(const StdioHost&) = delete;

    void start();
    // Stops reading and joins the reader thread.
    void stop();

    void respond(const std::string& callbackId, CAPCallResult result) override;
    void respondStreamed(const std::string& callbackId, CAPStreamedResult result) override;
    void deliverEvent(std::string_view pluginName, std::string_view eventName,
                      const JSObject& data) override;

private:
    void readLoop();
    void stagePiece(std::string_view piece);
    // Gives false for "quit". `stager` holds what a long line staged.
    bool handle(std::string line, LineStager* stager = nullptr);
    void waitForPendingCalls();
    void settleOne();

    std::shared_ptr<Bridge> bridge_;
    platform::Console& console_;
    std::function<void()> quit_;
    Options options_;
    LineReader reader_;
    RequestRouter router_;
    std::unique_ptr<LineStager> stager_;  // the line being read in pieces
    std::mutex mutex_;
    std::condition_variable settled_;
    std::size_t pending_ = 0;
    std::thread thread_;
};

}  // namespace host

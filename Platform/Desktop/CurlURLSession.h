#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Desktop/CurlLibrary.h"
#include "Platform/Desktop/CurlTransfer.h"
#include "Platform/Desktop/FreeSpaceLedger.h"
#include "Platform/URLSession.h"

// HTTP and HTTPS through libcurl. Every transfer runs on one worker thread with curl's multi
// interface; that thread is also where completions run. Only http and https are spoken, also
// after a redirect. Download bodies stream into temporary files in `temporaryDirectory`.
//
// The thread starts with the first transfer and loads libcurl (see CurlLibrary); when the library
// cannot be loaded, every transfer fails saying why.
//
// No server can hold the shell for long or fill its disk: a transfer that crawls fails, a
// download body is bounded by the limits below, at most `maxRunningTransfers` run at once (later
// ones wait their turn, in order), and as many idle connections are kept. A download cut off
// part-way waits a moment and goes on where it stopped (see CurlTransfer); while it waits it
// keeps its place among the running.
class CurlURLSession : public platform::URLSession {
public:
    // The most a data task keeps in memory; a longer body fails the task.
    static constexpr std::size_t maxDataBytes = 32 * 1024 * 1024;
    static constexpr std::size_t maxRunningTransfers = 8;
    // A transfer that averages less than this over the stall window has stalled.
    static constexpr long lowSpeedBytesPerSecond = 1024;

    struct Limits {
        std::chrono::seconds stallWindow{60};
        // The largest download body; unset: only free space bounds it.
        std::optional<std::uint64_t> maxDownloadBytes;
        // Free space the running downloads together must leave on the temporary folder's volume
        // (a twentieth of a smaller volume).
        std::uint64_t freeSpaceMargin = std::uint64_t{256} << 20;
        // What every request says it comes from.
        std::string userAgent = "musicshell";
    };

    explicit CurlURLSession(std::filesystem::path temporaryDirectory);
    CurlURLSession(std::filesystem::path temporaryDirectory, Limits limits,
                   std::string libraryFile = CurlLibrary::defaultFile);
    ~CurlURLSession() override;
    CurlURLSession(const CurlURLSession&) = delete;
    CurlURLSession& operator=(const CurlURLSession&) = delete;

    bool isValidURL(std::string_view text) const override;
    void dataTask(std::string url,
                  std::function<void(platform::DataTaskResult)> completion) override;
    TaskId downloadTask(platform::DownloadRequest request) override;
    void cancel(TaskId task) override;

    // Abandons every transfer: no completion runs after it returns, and the temporary files of
    // unfinished downloads are removed. Later tasks are dropped. Joins the worker thread.
    void stop();

    // Sends `cookie` with every request to `origin` ("http://host:port"), the shell's own web
    // server, so the shell can fetch what that server gives its pages (artwork, songs); such
    // requests follow no redirect, so the cookie reaches no one else. Safe from any thread.
    void allowOrigin(std::string origin, std::string cookie);

    // Removes the temporary files that a killed process left behind.
    static void removeStaleTemporaryFiles(const std::filesystem::path& temporaryDirectory);

private:
    TaskId enqueue(std::unique_ptr<CurlTransfer> transfer);
    // With `mutex_` held.
    void wakeWorker();
    void work();
    bool startCurl();
    // Fails every transfer until the session stops.
    void refuseTransfers();
    // Begins waiting transfers while fewer than `maxRunningTransfers` run.
    void beginWaiting();
    void begin(std::unique_ptr<CurlTransfer> transfer);
    void startTry(std::unique_ptr<CurlTransfer> transfer);
    void complete(CURL* easy, int code);
    // Fails a download that runs, waits or rests, as cancelled.
    void drop(TaskId task);
    // Starts the next try of downloads whose pause is over.
    void resumeRested();
    // Transfers that hold a place: running or resting between tries.
    std::size_t busy() const;
    // How long the worker may wait for the network before a resting download is due.
    int pollMilliseconds() const;

    std::filesystem::path temporaryDirectory_;
    Limits limits_;
    // Shared by the running downloads; outlives them.
    FreeSpaceLedger space_;
    // Loaded by the first call that needs it, a const URL check too.
    mutable CurlLibrary library_;
    std::mutex mutex_;
    // Both set by the worker thread once it has loaded the library; read by others under `mutex_`.
    const CurlLibrary::Functions* curl_ = nullptr;
    CURLM* multi_ = nullptr;
    std::vector<std::unique_ptr<CurlTransfer>> incoming_;
    std::vector<TaskId> cancelled_;
    TaskId lastTask_ = 0;
    // Wakes a worker that has no library to wait in.
    std::condition_variable incomingChanged_;
    bool stopping_ = false;
    std::deque<std::unique_ptr<CurlTransfer>> waiting_;  // worker thread only
    std::string ownOrigin_;                              // with its trailing "/"
    std::string ownCookie_;
    std::map<CURL*, std::unique_ptr<CurlTransfer>> running_;  // worker thread only
    std::vector<std::unique_ptr<CurlTransfer>> resting_;      // worker thread only
    std::thread worker_;
};

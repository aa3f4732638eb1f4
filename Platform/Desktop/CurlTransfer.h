#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Platform/Desktop/CurlLibrary.h"
#include "Platform/Desktop/FreeSpaceLedger.h"
#include "Platform/URLSession.h"

// One transfer of CurlURLSession, with what a download keeps across its tries: the body file, the
// validator of the first answer that guards a range request taking the body up again, and when
// progress was last told. A data task has one try and keeps its body in memory. Used on the
// session's worker thread only.
class CurlTransfer {
public:
    // Tries after the first that a body cut off part-way gets.
    static constexpr int maxRetries = 3;
    static constexpr std::chrono::milliseconds progressInterval{250};

    CurlTransfer() = default;
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    // Points a fresh handle's callbacks at this transfer and, for a later try, asks for the rest
    // of the body when the first answer gave a validator to guard it with; without one the body
    // is read from the start again.
    void prepare(const CurlLibrary::Functions& library, CURL* handle);
    // Frees the handle of a try that is over.
    void release();
    // Whether a try that ended with `code` is followed by another: the body was cut off part-way
    // (dropped or stalled), the try brought it further than any before, and tries are left.
    bool shouldRetry(CURLcode code);
    // The pause before the next try, longer after each.
    std::chrono::milliseconds backoff() const;
    // Tells that the body is whole, unless the last word said so already.
    void tellWhole();

    void fail(platform::Error error);
    void discardTemporaryFile();
    platform::Error error(CURLcode code) const;

    platform::URLSession::TaskId id = 0;
    const CurlLibrary::Functions* curl = nullptr;
    CURL* easy = nullptr;
    std::string url;
    std::size_t maxDataBytes = 0;
    std::optional<std::uint64_t> maxDownloadBytes;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    std::function<void(platform::DataTaskResult)> dataCompletion;
    std::string body;
    bool bodyTooLarge = false;

    std::function<void(platform::DownloadTaskResult)> downloadCompletion;
    std::function<void(const platform::DownloadProgress&)> progress;
    int fd = -1;
    std::filesystem::path temporaryFile;
    int writeErrno = 0;
    std::uint64_t written = 0;
    FreeSpaceLedger* space = nullptr;
    FreeSpaceLedger::Share share;
    std::optional<std::string> refusal;
    std::chrono::steady_clock::time_point retryAt;

private:
    // The headers of the latest response of a try (a redirect's are replaced by what follows).
    struct Answer {
        long status = 0;
        std::string etag;
        std::string lastModified;
        std::optional<std::uint64_t> rangeStart;
        std::optional<std::uint64_t> rangeTotal;
    };

    static size_t write(char* data, size_t size, size_t count, void* context);
    static size_t header(char* data, size_t size, size_t count, void* context);
    size_t writeBody(const char* data, std::size_t length);
    // Decides, at the first byte of a try's body, whether it continues the stored part or starts
    // over; false when it can do neither.
    bool beginBody();
    void startOver();
    std::optional<std::string> refuse(std::size_t length);
    void tellProgress(bool whole);

    Answer answer_;
    curl_slist* headers_ = nullptr;
    bool rangeAsked_ = false;
    bool bodyBegun_ = false;
    bool startOver_ = false;
    int tries_ = 0;
    std::uint64_t furthest_ = 0;
    std::string validator_;
    bool validatorIsETag_ = false;
    std::optional<std::uint64_t> total_;
    // Bytes of every try, for the rate.
    std::uint64_t arrived_ = 0;
    bool told_ = false;
    std::uint64_t toldReceived_ = 0;
    std::uint64_t rate_ = 0;
    std::uint64_t rateArrived_ = 0;
    std::chrono::steady_clock::time_point rateSince_;
};

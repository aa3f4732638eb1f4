#include "Platform/Desktop/CurlTransfer.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

namespace {
std::string_view trimmed(std::string_view text) {
    while (!text.empty() &&
           std::string_view(" \t\r\n").find(text.front()) != std::string_view::npos) {
        text.remove_prefix(1);
    }
    while (!text.empty() &&
           std::string_view(" \t\r\n").find(text.back()) != std::string_view::npos) {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<std::uint64_t> number(std::string_view text) {
    if (text.empty() || text.size() > 19 ||
        !std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    return std::stoull(std::string(text));
}
}  // namespace

CurlTransfer::~CurlTransfer() {
    discardTemporaryFile();
    if (space != nullptr) {
        space->release(share);
    }
    release();
}

void CurlTransfer::prepare(const CurlLibrary::Functions& library, CURL* handle) {
    curl = &library;
    easy = handle;
    errorBuffer[0] = '\0';
    answer_ = {};
    bodyBegun_ = false;
    rangeAsked_ = false;
    if (written > 0 && (validator_.empty() || startOver_)) {
        startOver();
    }
    startOver_ = false;
    curl->easySetopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl->easySetopt(easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::write);
    curl->easySetopt(easy, CURLOPT_WRITEDATA, this);
    if (!downloadCompletion) {
        return;
    }
    curl->easySetopt(easy, CURLOPT_HEADERFUNCTION, &CurlTransfer::header);
    curl->easySetopt(easy, CURLOPT_HEADERDATA, this);
    if (written > 0) {
        // A range the server cannot vouch is of the same body is answered with all of it.
        rangeAsked_ = true;
        std::string range = std::to_string(written) + "-";
        curl->easySetopt(easy, CURLOPT_RANGE, range.c_str());
        headers_ = curl->slistAppend(nullptr, ("If-Range: " + validator_).c_str());
        curl->easySetopt(easy, CURLOPT_HTTPHEADER, headers_);
    }
    if (rateSince_ == std::chrono::steady_clock::time_point{}) {
        rateSince_ = std::chrono::steady_clock::now();
    }
}

void CurlTransfer::release() {
    if (headers_ != nullptr) {
        curl->slistFreeAll(std::exchange(headers_, nullptr));
    }
    if (easy != nullptr) {
        curl->easyCleanup(std::exchange(easy, nullptr));
    }
}

bool CurlTransfer::shouldRetry(CURLcode code) {
    bool cutOff = code == CURLE_PARTIAL_FILE || code == CURLE_OPERATION_TIMEDOUT ||
                  code == CURLE_RECV_ERROR || code == CURLE_HTTP2_STREAM;
    bool further =
        bodyBegun_ && answer_.status >= 200 && answer_.status <= 299 && written > furthest_;
    if (!downloadCompletion || refusal || writeErrno != 0 || tries_ >= maxRetries ||
        !(startOver_ || (cutOff && further))) {
        return false;
    }
    furthest_ = std::max(furthest_, written);
    ++tries_;
    return true;
}

std::chrono::milliseconds CurlTransfer::backoff() const {
    return std::chrono::milliseconds(200) * (1 << std::max(tries_ - 1, 0));
}

void CurlTransfer::fail(platform::Error error) {
    if (dataCompletion) {
        std::exchange(dataCompletion, nullptr)({std::nullopt, 0, std::move(error)});
    } else {
        std::exchange(downloadCompletion, nullptr)({std::nullopt, 0, std::move(error)});
    }
}

void CurlTransfer::discardTemporaryFile() {
    if (fd >= 0) {
        ::close(std::exchange(fd, -1));
    }
    if (!temporaryFile.empty()) {
        ::unlink(temporaryFile.c_str());
        temporaryFile.clear();
    }
}

platform::Error CurlTransfer::error(CURLcode code) const {
    if (refusal) {
        return {*refusal};
    }
    if (writeErrno != 0) {
        return {std::strerror(writeErrno)};
    }
    if (bodyTooLarge) {
        return {"Response too large"};
    }
    if (errorBuffer[0] != '\0') {
        return {errorBuffer};
    }
    return {curl->easyStrerror(code)};
}

size_t CurlTransfer::header(char* data, size_t size, size_t count, void* context) {
    auto& answer = static_cast<CurlTransfer*>(context)->answer_;
    std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        answer = {};
        auto status = line.find(' ');
        answer.status = status == std::string_view::npos
                            ? 0
                            : static_cast<long>(number(line.substr(status + 1, 3)).value_or(0));
        return line.size();
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos) {
        return line.size();
    }
    std::string name(line.substr(0, colon));
    std::string_view value = trimmed(line.substr(colon + 1));
    if (::strcasecmp(name.c_str(), "ETag") == 0) {
        answer.etag = value;
    } else if (::strcasecmp(name.c_str(), "Last-Modified") == 0) {
        answer.lastModified = value;
    } else if (::strcasecmp(name.c_str(), "Content-Range") == 0 && value.starts_with("bytes ")) {
        // "bytes FIRST-LAST/TOTAL", TOTAL "*" when unknown.
        value.remove_prefix(6);
        auto dash = value.find('-'), slash = value.find('/');
        if (dash != std::string_view::npos && slash != std::string_view::npos && dash < slash) {
            answer.rangeStart = number(value.substr(0, dash));
            answer.rangeTotal = number(value.substr(slash + 1));
        }
    }
    return line.size();
}

size_t CurlTransfer::write(char* data, size_t size, size_t count, void* context) {
    auto& transfer = *static_cast<CurlTransfer*>(context);
    std::size_t length = size * count;
    if (transfer.fd >= 0) {
        return transfer.writeBody(data, length);
    }
    if (transfer.body.size() + length > transfer.maxDataBytes) {
        transfer.bodyTooLarge = true;
        return 0;
    }
    transfer.body.append(data, length);
    return length;
}

size_t CurlTransfer::writeBody(const char* data, std::size_t length) {
    if (!bodyBegun_ && !beginBody()) {
        return 0;
    }
    if ((refusal = refuse(length))) {
        return 0;
    }
    written += length;
    arrived_ += length;
    space->wrote(share, length);
    for (std::size_t done = 0; done < length;) {
        ssize_t wrote = ::write(fd, data + done, length - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0) {
            writeErrno = errno;
            return 0;
        }
        done += static_cast<std::size_t>(wrote);
    }
    tellProgress(false);
    return length;
}

bool CurlTransfer::beginBody() {
    bodyBegun_ = true;
    const std::string& offered = validatorIsETag_ ? answer_.etag : answer_.lastModified;
    bool sameBody = offered.empty() || offered == validator_;
    if (rangeAsked_ && answer_.status == 206) {
        if (answer_.rangeStart != written || !sameBody) {
            // Part of another body: only a whole one, asked for anew, can be stored.
            startOver_ = true;
            return false;
        }
        if (answer_.rangeTotal) {
            total_ = answer_.rangeTotal;
        }
        return true;
    }
    if (rangeAsked_) {
        startOver();
    }
    // Weak tags say nothing about bytes, so they cannot guard a range.
    validatorIsETag_ = !answer_.etag.empty() && !answer_.etag.starts_with("W/");
    validator_ = validatorIsETag_ ? answer_.etag : answer_.lastModified;
    curl_off_t announced = -1;
    curl->easyGetinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    total_ = announced >= 0 ? std::optional(static_cast<std::uint64_t>(announced)) : std::nullopt;
    return true;
}

void CurlTransfer::startOver() {
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
        writeErrno = errno;
    }
    written = 0;
    furthest_ = 0;
    space->release(share);
    share = {};
}

// Why `length` more bytes of the body may not be stored, if they may not. A length the server
// announced is judged as a whole, before any of it is stored.
std::optional<std::string> CurlTransfer::refuse(std::size_t length) {
    if (writeErrno != 0) {
        return std::strerror(writeErrno);
    }
    std::uint64_t end = std::max(written + length, total_.value_or(0));
    if (maxDownloadBytes && end > *maxDownloadBytes) {
        return "Larger than the limit of " + std::to_string(*maxDownloadBytes) + " bytes";
    }
    if (!space->admit(share, fd, written, length, total_ ? std::optional(end) : std::nullopt)) {
        return "Not enough free space";
    }
    return std::nullopt;
}

void CurlTransfer::tellWhole() {
    if (!bodyBegun_) {
        // An empty body: nothing was written to learn its announced length from.
        curl_off_t announced = -1;
        curl->easyGetinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        if (announced >= 0) {
            total_ = static_cast<std::uint64_t>(announced);
        }
    }
    tellProgress(true);
}

void CurlTransfer::tellProgress(bool whole) {
    auto now = std::chrono::steady_clock::now();
    if (!progress ||
        (told_ && (whole ? toldReceived_ == written : now - rateSince_ < progressInterval))) {
        return;
    }
    auto elapsed = std::chrono::duration<double>(now - rateSince_).count();
    if (elapsed > 0.001) {
        rate_ = static_cast<std::uint64_t>(static_cast<double>(arrived_ - rateArrived_) / elapsed);
        rateArrived_ = arrived_;
        rateSince_ = now;
    }
    told_ = true;
    toldReceived_ = written;
    progress({written, total_, rate_});
}

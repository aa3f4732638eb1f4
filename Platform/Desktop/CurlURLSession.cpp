#include "Platform/Desktop/CurlURLSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "Platform/Desktop/FileDescriptor.h"
#include "Platform/Desktop/FolderEntries.h"
#include "Platform/Log.h"
#include "Platform/RandomHex.h"
#include "Platform/URI.h"

namespace {
constexpr std::string_view temporaryPrefix = "download-";
constexpr std::string_view temporarySuffix = ".part";
constexpr int temporaryFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr long connectTimeoutSeconds = 60;

platform::Error errnoError(int number) {
    return {std::strerror(number)};
}

// The length of the scheme the text begins with, before its ':'.
std::optional<std::size_t> schemeLength(std::string_view text) {
    auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (text.empty() || !isAlpha(text[0])) {
        return std::nullopt;
    }
    std::size_t length = 1;
    while (length < text.size() &&
           (isAlpha(text[length]) || std::isdigit(static_cast<unsigned char>(text[length])) ||
            text[length] == '+' || text[length] == '-' || text[length] == '.')) {
        ++length;
    }
    if (length == text.size() || text[length] != ':') {
        return std::nullopt;
    }
    return length;
}

bool curlParses(const CurlLibrary::Functions& curl, std::string_view text) {
    CURLU* url = curl.url();
    bool valid = curl.urlSet(url, CURLUPART_URL, std::string(text).c_str(),
                             CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
    curl.urlCleanup(url);
    return valid;
}

// A new file `name` for a body, made in `folder` opened without following a link put in its
// place, so that no body is ever written outside the container. Gives -1 and errno on failure.
int createTemporaryFile(const std::filesystem::path& folder, const std::string& name) {
    ::mkdir(folder.c_str(), 0777);
    FileDescriptor opened(::open(folder.c_str(), temporaryFolderFlags));
    if (!opened.valid()) {
        return -1;
    }
    return ::openat(opened.get(), name.c_str(),
                    O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
}
}  // namespace

struct CurlURLSession::Transfer {
    const CurlLibrary::Functions* curl = nullptr;
    CURL* easy = nullptr;
    std::string url;
    Limits limits;
    char errorBuffer[CURL_ERROR_SIZE] = {};

    std::function<void(platform::DataTaskResult)> dataCompletion;
    std::string body;
    bool bodyTooLarge = false;

    std::function<void(platform::DownloadTaskResult)> downloadCompletion;
    int fd = -1;
    std::filesystem::path temporaryFile;
    int writeErrno = 0;
    std::uint64_t written = 0;
    FreeSpaceLedger* space = nullptr;
    FreeSpaceLedger::Share share;
    std::optional<std::string> refusal;

    ~Transfer() {
        discardTemporaryFile();
        if (space != nullptr) {
            space->release(share);
        }
        if (easy != nullptr) {
            curl->easyCleanup(easy);
        }
    }

    void fail(platform::Error error) {
        if (dataCompletion) {
            std::exchange(dataCompletion, nullptr)({std::nullopt, 0, std::move(error)});
        } else {
            std::exchange(downloadCompletion, nullptr)({std::nullopt, 0, std::move(error)});
        }
    }

    void discardTemporaryFile() {
        if (fd >= 0) {
            ::close(std::exchange(fd, -1));
        }
        if (!temporaryFile.empty()) {
            ::unlink(temporaryFile.c_str());
            temporaryFile.clear();
        }
    }

    // Why `length` more bytes of the body may not be stored, if they may not. A length the
    // server announced is judged as a whole, before any of it is stored.
    std::optional<std::string> refuse(std::size_t length) {
        curl_off_t announced = -1;
        curl->easyGetinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        std::uint64_t total = std::max(
            written + length, static_cast<std::uint64_t>(std::max<curl_off_t>(announced, 0)));
        if (limits.maxDownloadBytes && total > *limits.maxDownloadBytes) {
            return "Larger than the limit of " + std::to_string(*limits.maxDownloadBytes) +
                   " bytes";
        }
        auto end = announced >= 0 ? std::optional(total) : std::nullopt;
        if (!space->admit(share, fd, written, length, end)) {
            return "Not enough free space";
        }
        return std::nullopt;
    }

    static size_t write(char* data, size_t size, size_t count, void* context) {
        auto& transfer = *static_cast<Transfer*>(context);
        std::size_t length = size * count;
        if (transfer.fd < 0) {
            if (transfer.body.size() + length > maxDataBytes) {
                transfer.bodyTooLarge = true;
                return 0;
            }
            transfer.body.append(data, length);
            return length;
        }
        if ((transfer.refusal = transfer.refuse(length))) {
            return 0;
        }
        transfer.written += length;
        transfer.space->wrote(transfer.share, length);
        for (std::size_t done = 0; done < length;) {
            ssize_t written = ::write(transfer.fd, data + done, length - done);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written < 0) {
                transfer.writeErrno = errno;
                return 0;
            }
            done += static_cast<std::size_t>(written);
        }
        return length;
    }

    platform::Error error(CURLcode code) const {
        if (refusal) {
            return {*refusal};
        }
        if (writeErrno != 0) {
            return errnoError(writeErrno);
        }
        if (bodyTooLarge) {
            return {"Response too large"};
        }
        if (errorBuffer[0] != '\0') {
            return {errorBuffer};
        }
        return {curl->easyStrerror(code)};
    }
};

CurlURLSession::CurlURLSession(std::filesystem::path temporaryDirectory)
    : CurlURLSession(std::move(temporaryDirectory), Limits{}) {}

CurlURLSession::CurlURLSession(std::filesystem::path temporaryDirectory, Limits limits,
                               std::string libraryFile)
    : temporaryDirectory_(std::move(temporaryDirectory)),
      limits_(limits),
      space_(limits.freeSpaceMargin),
      library_(std::move(libraryFile)) {}

CurlURLSession::~CurlURLSession() {
    stop();
    if (multi_ != nullptr) {
        curl_->multiCleanup(multi_);
    }
}

bool CurlURLSession::isValidURL(std::string_view text) const {
    if (text.find('\0') != std::string_view::npos) {
        return false;
    }
    auto scheme = schemeLength(text);
    if (!scheme) {
        return false;
    }
    // A URL with an authority (a host) is held to what a transfer of it would take; one
    // without, such as mailto:someone@example.com or an application's own scheme:path, to the
    // generic syntax, which curl does not take. Without curl no transfer is made at all, and the
    // generic syntax lets a download of the URL go on to fail saying why.
    if (text.substr(*scheme).starts_with("://")) {
        if (const auto* curl = library_.functions()) {
            return curlParses(*curl, text);
        }
    }
    return platform::isAbsoluteURI(text);
}

void CurlURLSession::dataTask(std::string url,
                              std::function<void(platform::DataTaskResult)> completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->url = std::move(url);
    transfer->dataCompletion = std::move(completion);
    enqueue(std::move(transfer));
}

void CurlURLSession::downloadTask(std::string url,
                                  std::function<void(platform::DownloadTaskResult)> completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->url = std::move(url);
    transfer->limits = limits_;
    transfer->space = &space_;
    transfer->downloadCompletion = std::move(completion);
    enqueue(std::move(transfer));
}

void CurlURLSession::enqueue(std::unique_ptr<Transfer> transfer) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return;
    }
    incoming_.push_back(std::move(transfer));
    if (!worker_.joinable()) {
        worker_ = std::thread([this] { work(); });
    }
    wakeWorker();
}

void CurlURLSession::wakeWorker() {
    if (multi_ != nullptr) {
        curl_->multiWakeup(multi_);
    } else {
        incomingChanged_.notify_one();
    }
}

void CurlURLSession::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
        wakeWorker();
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    for (auto& [easy, transfer] : running_) {
        curl_->multiRemoveHandle(multi_, easy);
    }
    running_.clear();
    waiting_.clear();
    std::lock_guard lock(mutex_);
    incoming_.clear();
}

void CurlURLSession::allowOrigin(std::string origin, std::string cookie) {
    std::lock_guard lock(mutex_);
    ownOrigin_ = std::move(origin) + "/";
    ownCookie_ = std::move(cookie);
}

void CurlURLSession::removeStaleTemporaryFiles(const std::filesystem::path& temporaryDirectory) {
    // Through the folder's descriptor, so a link put in its place is never followed.
    FileDescriptor folder(::open(temporaryDirectory.c_str(), temporaryFolderFlags));
    std::vector<std::string> stale;
    static_cast<void>(forEachEntry(folder.get(), temporaryDirectory, [&](std::string_view name) {
        if (name.starts_with(temporaryPrefix) && name.ends_with(temporarySuffix)) {
            stale.emplace_back(name);
        }
    }));
    for (const auto& name : stale) {
        ::unlinkat(folder.get(), name.c_str(), 0);
    }
}

void CurlURLSession::work() {
    if (!startCurl()) {
        refuseTransfers();
        return;
    }
    for (;;) {
        std::vector<std::unique_ptr<Transfer>> arrived;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            arrived.swap(incoming_);
        }
        std::move(arrived.begin(), arrived.end(), std::back_inserter(waiting_));
        beginWaiting();
        int running = 0;
        curl_->multiPerform(multi_, &running);
        int left = 0;
        while (CURLMsg* message = curl_->multiInfoRead(multi_, &left)) {
            if (message->msg == CURLMSG_DONE) {
                complete(message->easy_handle, message->data.result);
            }
        }
        if (waiting_.empty() || running_.size() >= maxRunningTransfers) {
            curl_->multiPoll(multi_, nullptr, 0, 1000, nullptr);
        }
    }
}

bool CurlURLSession::startCurl() {
    const auto* curl = library_.functions();
    if (curl == nullptr) {
        platform::log("no transfers: " + library_.failure());
        return false;
    }
    CURLM* multi = curl->multiInit();
    curl->multiSetopt(multi, CURLMOPT_MAXCONNECTS, static_cast<long>(maxRunningTransfers));
    std::lock_guard lock(mutex_);
    curl_ = curl;
    multi_ = multi;
    return true;
}

void CurlURLSession::refuseTransfers() {
    platform::Error failure{library_.failure()};
    std::unique_lock lock(mutex_);
    for (;;) {
        incomingChanged_.wait(lock, [this] { return stopping_ || !incoming_.empty(); });
        if (stopping_) {
            return;
        }
        auto arrived = std::exchange(incoming_, {});
        lock.unlock();
        for (auto& transfer : arrived) {
            transfer->fail(failure);
        }
        lock.lock();
    }
}

void CurlURLSession::beginWaiting() {
    while (!waiting_.empty() && running_.size() < maxRunningTransfers) {
        std::unique_ptr<Transfer> transfer = std::move(waiting_.front());
        waiting_.pop_front();
        begin(std::move(transfer));
    }
}

void CurlURLSession::begin(std::unique_ptr<Transfer> transfer) {
    if (transfer->downloadCompletion) {
        std::string name =
            std::string(temporaryPrefix) + randomHex(8) + std::string(temporarySuffix);
        transfer->fd = createTemporaryFile(temporaryDirectory_, name);
        if (transfer->fd < 0) {
            transfer->fail(errnoError(errno));
            return;
        }
        transfer->temporaryFile = temporaryDirectory_ / name;
    }
    const auto& curl = *curl_;
    CURL* easy = curl.easyInit();
    transfer->curl = curl_;
    transfer->easy = easy;
    curl.easySetopt(easy, CURLOPT_URL, transfer->url.c_str());
    curl.easySetopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl.easySetopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl.easySetopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    {
        std::lock_guard lock(mutex_);
        if (!ownOrigin_.empty() && transfer->url.starts_with(ownOrigin_)) {
            curl.easySetopt(easy, CURLOPT_COOKIE, ownCookie_.c_str());
            curl.easySetopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
        }
    }
    curl.easySetopt(easy, CURLOPT_MAXREDIRS, 20L);
    curl.easySetopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl.easySetopt(easy, CURLOPT_CONNECTTIMEOUT, connectTimeoutSeconds);
    curl.easySetopt(easy, CURLOPT_LOW_SPEED_LIMIT, lowSpeedBytesPerSecond);
    curl.easySetopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits_.stallWindow.count()));
    curl.easySetopt(easy, CURLOPT_USERAGENT, "musicshell");
    curl.easySetopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
    curl.easySetopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::write);
    curl.easySetopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl.multiAddHandle(multi_, easy);
    running_[easy] = std::move(transfer);
}

void CurlURLSession::complete(CURL* easy, int result) {
    auto found = running_.find(easy);
    std::unique_ptr<Transfer> transfer = std::move(found->second);
    running_.erase(found);
    curl_->multiRemoveHandle(multi_, easy);

    auto code = static_cast<CURLcode>(result);
    long status = 0;
    curl_->easyGetinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    std::optional<platform::Error> error;
    if (code != CURLE_OK) {
        error = transfer->error(code);
    }
    if (transfer->dataCompletion) {
        auto completion = std::move(transfer->dataCompletion);
        std::optional<std::string> body;
        if (!error) {
            body = std::move(transfer->body);
        }
        completion({std::move(body), status, std::move(error)});
        return;
    }
    if (!error && ::close(std::exchange(transfer->fd, -1)) != 0) {
        error = errnoError(errno);
    }
    std::optional<std::filesystem::path> location;
    if (error) {
        // Gone before the answer, so that whoever looks right after it finds nothing left.
        transfer->discardTemporaryFile();
    } else {
        location = transfer->temporaryFile;
    }
    auto completion = std::move(transfer->downloadCompletion);
    completion({std::move(location), status, std::move(error)});
    // `transfer` removes the temporary file now, unless the completion moved it away.
}

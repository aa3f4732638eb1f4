#include "Platform/Desktop/CurlURLSession.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "Platform/Desktop/CurlTransfer.h"
#include "Platform/Desktop/DataURL.h"
#include "Platform/Desktop/FolderEntries.h"
#include "Platform/Desktop/URLSyntax.h"
#include "Platform/Log.h"
#include "Platform/Posix/FileDescriptor.h"
#include "Platform/Posix/RandomHex.h"

namespace {
constexpr std::string_view temporaryPrefix = "download-";
constexpr std::string_view temporarySuffix = ".part";
constexpr int temporaryFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr long connectTimeoutSeconds = 60;

platform::Error errnoError(int number) {
    return {std::strerror(number)};
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
    return isTransferableURL(text, library_);
}

void CurlURLSession::dataTask(std::string url,
                              std::function<void(platform::DataTaskResult)> completion) {
    if (auto bytes = dataURLBytes(url)) {
        // A page's own picture, carried whole in its address: nothing to transfer.
        if (bytes->size() > maxDataBytes) {
            completion({std::nullopt, 0, platform::Error{"The data URL is too large"}});
        } else {
            completion({std::move(bytes), 200, std::nullopt});
        }
        return;
    }
    auto transfer = std::make_unique<CurlTransfer>();
    transfer->url = std::move(url);
    transfer->maxDataBytes = maxDataBytes;
    transfer->dataCompletion = std::move(completion);
    enqueue(std::move(transfer));
}

platform::URLSession::TaskId CurlURLSession::downloadTask(platform::DownloadRequest request) {
    auto transfer = std::make_unique<CurlTransfer>();
    transfer->url = std::move(request.url);
    transfer->maxDownloadBytes = limits_.maxDownloadBytes;
    transfer->space = &space_;
    transfer->progress = std::move(request.progress);
    transfer->downloadCompletion = std::move(request.completion);
    return enqueue(std::move(transfer));
}

void CurlURLSession::cancel(TaskId task) {
    std::lock_guard lock(mutex_);
    if (!stopping_) {
        cancelled_.push_back(task);
        wakeWorker();
    }
}

platform::URLSession::TaskId CurlURLSession::enqueue(std::unique_ptr<CurlTransfer> transfer) {
    std::lock_guard lock(mutex_);
    TaskId id = transfer->id = ++lastTask_;
    if (stopping_) {
        return id;
    }
    incoming_.push_back(std::move(transfer));
    if (!worker_.joinable()) {
        worker_ = std::thread([this] { work(); });
    }
    wakeWorker();
    return id;
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
    resting_.clear();
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
        std::vector<std::unique_ptr<CurlTransfer>> arrived;
        std::vector<TaskId> cancelled;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            arrived.swap(incoming_);
            cancelled.swap(cancelled_);
        }
        std::move(arrived.begin(), arrived.end(), std::back_inserter(waiting_));
        for (TaskId task : cancelled) {
            drop(task);
        }
        resumeRested();
        beginWaiting();
        int running = 0;
        curl_->multiPerform(multi_, &running);
        int left = 0;
        while (CURLMsg* message = curl_->multiInfoRead(multi_, &left)) {
            if (message->msg == CURLMSG_DONE) {
                complete(message->easy_handle, message->data.result);
            }
        }
        if (waiting_.empty() || busy() >= maxRunningTransfers) {
            curl_->multiPoll(multi_, nullptr, 0, pollMilliseconds(), nullptr);
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
    while (!waiting_.empty() && busy() < maxRunningTransfers) {
        std::unique_ptr<CurlTransfer> transfer = std::move(waiting_.front());
        waiting_.pop_front();
        begin(std::move(transfer));
    }
}

void CurlURLSession::begin(std::unique_ptr<CurlTransfer> transfer) {
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
    startTry(std::move(transfer));
}

void CurlURLSession::startTry(std::unique_ptr<CurlTransfer> transfer) {
    const auto& curl = *curl_;
    CURL* easy = curl.easyInit();
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
    curl.easySetopt(easy, CURLOPT_USERAGENT, limits_.userAgent.c_str());
    transfer->prepare(curl, easy);
    curl.multiAddHandle(multi_, easy);
    running_[easy] = std::move(transfer);
}

std::size_t CurlURLSession::busy() const {
    return running_.size() + resting_.size();
}

int CurlURLSession::pollMilliseconds() const {
    auto wait = std::chrono::milliseconds(1000);
    auto now = std::chrono::steady_clock::now();
    for (const auto& transfer : resting_) {
        wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(
                                  std::max(transfer->retryAt - now, now - now)));
    }
    return static_cast<int>(wait.count());
}

void CurlURLSession::resumeRested() {
    auto now = std::chrono::steady_clock::now();
    for (auto it = resting_.begin(); it != resting_.end();) {
        if ((*it)->retryAt <= now) {
            auto transfer = std::move(*it);
            it = resting_.erase(it);
            startTry(std::move(transfer));
        } else {
            ++it;
        }
    }
}

void CurlURLSession::drop(TaskId task) {
    auto matches = [task](const std::unique_ptr<CurlTransfer>& each) { return each->id == task; };
    std::unique_ptr<CurlTransfer> found;
    if (auto it = std::find_if(waiting_.begin(), waiting_.end(), matches); it != waiting_.end()) {
        found = std::move(*it);
        waiting_.erase(it);
    } else if (auto rested = std::find_if(resting_.begin(), resting_.end(), matches);
               rested != resting_.end()) {
        found = std::move(*rested);
        resting_.erase(rested);
    } else {
        auto running = std::find_if(running_.begin(), running_.end(),
                                    [&](const auto& entry) { return matches(entry.second); });
        if (running == running_.end()) {
            return;
        }
        found = std::move(running->second);
        running_.erase(running);
        curl_->multiRemoveHandle(multi_, found->easy);
    }
    // Gone before the answer, as after any failure.
    found->discardTemporaryFile();
    found->fail({"Cancelled"});
}

void CurlURLSession::complete(CURL* easy, int result) {
    auto found = running_.find(easy);
    std::unique_ptr<CurlTransfer> transfer = std::move(found->second);
    running_.erase(found);
    curl_->multiRemoveHandle(multi_, easy);

    auto code = static_cast<CURLcode>(result);
    if (code != CURLE_OK && transfer->shouldRetry(code)) {
        transfer->release();
        transfer->retryAt = std::chrono::steady_clock::now() + transfer->backoff();
        resting_.push_back(std::move(transfer));
        return;
    }
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
    if (!error) {
        transfer->tellWhole();
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

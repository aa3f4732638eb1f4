#pragma once

#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "Fakes/FakeConsole.h"
#include "Platform/Desktop/DesktopAudioSession.h"
#include "Platform/Desktop/DesktopNowPlayingInfoCenter.h"
#include "Platform/Desktop/DesktopRemoteCommandCenter.h"
#include "Platform/ImageDecoder.h"
#include "Platform/MainQueue.h"
#include "Platform/Services.h"
#include "Platform/URLSession.h"

// The desktop session, logging each call and failing on demand. Test thread only.
class FakeAudioSession : public DesktopAudioSession {
public:
    std::optional<platform::Error> failCategory;
    std::optional<platform::Error> failActivation;
    std::shared_ptr<std::vector<std::string>> log = std::make_shared<std::vector<std::string>>();

    [[nodiscard]] std::optional<platform::Error> setCategory(std::string_view category,
                                                             std::string_view mode,
                                                             std::uint64_t options) override {
        log->push_back("setCategory " + std::string(category) + " " + std::string(mode) + " " +
                       std::to_string(options));
        return failCategory ? failCategory
                            : DesktopAudioSession::setCategory(category, mode, options);
    }

    [[nodiscard]] std::optional<platform::Error> setActive(bool active,
                                                           std::uint64_t options) override {
        log->push_back("setActive " + std::to_string(active) + " " + std::to_string(options));
        return failActivation ? failActivation : DesktopAudioSession::setActive(active, options);
    }
};

// Takes "image WxH" for a picture of that size; anything else is not an image.
class FakeImageDecoder : public platform::ImageDecoder {
public:
    std::optional<platform::Image> decode(std::string data) const override {
        int width = 0;
        int height = 0;
        if (std::sscanf(data.c_str(), "image %dx%d", &width, &height) != 2) {
            return std::nullopt;
        }
        return platform::Image{width, height, std::make_shared<const std::string>(std::move(data))};
    }
};

// Holds posted work until the test runs it.
class FakeMainQueue : public platform::MainQueue {
public:
    void async(std::function<void()> work) override {
        std::lock_guard lock(mutex_);
        work_.push_back(std::move(work));
    }

    // Runs everything posted so far, and whatever that posts in turn.
    void runAll() {
        for (std::unique_lock lock(mutex_); !work_.empty(); lock.lock()) {
            auto work = std::move(work_.front());
            work_.pop_front();
            lock.unlock();
            work();
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> work_;
};

// Keeps every data task until the test completes it, on the test's own thread. Downloads are
// tested against a real server; here they fail at once.
class FakeURLSession : public platform::URLSession {
public:
    bool isValidURL(std::string_view text) const override {
        static const std::regex url("[A-Za-z][A-Za-z0-9+.-]*://[^ ]+");
        return std::regex_match(text.begin(), text.end(), url);
    }

    void dataTask(std::string, std::function<void(platform::DataTaskResult)> completion) override {
        std::lock_guard lock(mutex_);
        completions_.push_back(std::move(completion));
    }

    TaskId downloadTask(platform::DownloadRequest request) override {
        request.completion({std::nullopt, 0, platform::Error{"offline"}});
        return 0;
    }

    void cancel(TaskId) override {}

    std::size_t started() const {
        std::lock_guard lock(mutex_);
        return completions_.size();
    }

    // Runs the completion of the data task started `index`-th.
    void completeData(std::size_t index, platform::DataTaskResult result) {
        std::unique_lock lock(mutex_);
        auto completion = std::move(completions_.at(index));
        lock.unlock();
        completion(std::move(result));
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::function<void(platform::DataTaskResult)>> completions_;
};

// A full set of services for in-process tests. The command center and the now-playing center
// are the desktop ones: they are in-process state with nothing that could fail.
struct FakeServices {
    std::shared_ptr<FakeAudioSession> audioSession = std::make_shared<FakeAudioSession>();
    std::shared_ptr<DesktopRemoteCommandCenter> commandCenter =
        std::make_shared<DesktopRemoteCommandCenter>();
    std::shared_ptr<DesktopNowPlayingInfoCenter> nowPlaying =
        std::make_shared<DesktopNowPlayingInfoCenter>();
    std::shared_ptr<FakeURLSession> urlSession = std::make_shared<FakeURLSession>();
    std::shared_ptr<FakeImageDecoder> imageDecoder = std::make_shared<FakeImageDecoder>();
    std::shared_ptr<FakeMainQueue> mainQueue = std::make_shared<FakeMainQueue>();
    std::shared_ptr<FakeConsole> console = std::make_shared<FakeConsole>();

    platform::Services services() const {
        return {.audioSession = audioSession,
                .remoteCommandCenter = commandCenter,
                .nowPlayingInfoCenter = nowPlaying,
                .urlSession = urlSession,
                .imageDecoder = imageDecoder,
                .fileSystem = {},  // given by the tests that use one
                .fileOpener = {},
                .mainQueue = mainQueue,
                .console = console};
    }
};

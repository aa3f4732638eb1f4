#pragma once

#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "Platform/URLSession.h"

// Keeps every data task until the test completes it, on the test's own thread. Downloads are
// tested against a real server; here they fail at once.
class FakeURLSession : public platform::URLSession {
public:
    bool isValidURL(std::string_view text) const override {
        static const std::regex url("[A-Za-z][A-Za-z0-9+.-]*://[^ ]+");
        return std::regex_match(text.begin(), text.end(), url);
    }

    void dataTask(std::string url,
                  std::function<void(platform::DataTaskResult)> completion) override {
        std::lock_guard lock(mutex_);
        urls_.push_back(std::move(url));
        completions_.push_back(std::move(completion));
    }

    TaskId downloadTask(platform::DownloadRequest request) override {
        request.completion({std::nullopt, 0, platform::Error{"offline"}});
        return 0;
    }

    void cancel(TaskId) override {}

    std::vector<std::string> requestedURLs() const {
        std::lock_guard lock(mutex_);
        return urls_;
    }

    // Runs the completion of the data task started `index`-th.
    void completeData(std::size_t index, platform::DataTaskResult result) {
        std::function<void(platform::DataTaskResult)> completion;
        {
            std::lock_guard lock(mutex_);
            completion = std::move(completions_.at(index));
        }
        completion(std::move(result));
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> urls_;
    std::vector<std::function<void(platform::DataTaskResult)>> completions_;
};

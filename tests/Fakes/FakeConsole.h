#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Platform/Console.h"

// Keeps the lines instead of printing them.
class FakeConsole : public platform::Console {
public:
    void printLineInParts(const std::function<void(const Pieces&)>& make) override {
        std::string line;
        make([&line](std::span<const std::string_view> pieces) {
            for (std::string_view piece : pieces) {
                line.append(piece);
            }
        });
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

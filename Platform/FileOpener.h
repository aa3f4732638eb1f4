#pragma once

#include <filesystem>
#include <functional>

namespace platform {

// Asks the system to open a file with whatever handles it. Main queue only.
class FileOpener {
public:
    virtual ~FileOpener() = default;

    virtual bool canOpen(const std::filesystem::path& file) const = 0;
    // Starts opening and returns at once; the completion runs later on the main queue with
    // whether the file was opened.
    virtual void open(const std::filesystem::path& file, std::function<void(bool)> completion) = 0;
};

}  // namespace platform

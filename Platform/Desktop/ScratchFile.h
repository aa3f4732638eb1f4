#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "Platform/Posix/FileDescriptor.h"
#include "Platform/Result.h"

// An entry named by its folder's descriptor and its name there.
struct Place {
    FileDescriptor folder;
    std::string name;
    std::filesystem::path path;
};

// A new file in the container's scratch folder, removed again unless it is renamed into place:
// what atomic writes and staged payloads are filled in before they take their target's name.
class ScratchFile {
public:
    // Where it is made: a folder of the shell's own that no name a caller gives can reach, on the
    // same volume as the targets.
    static const std::filesystem::path location;

    static platform::Result<ScratchFile> open(const std::filesystem::path& root);
    // Makes a rename in the folder last through a power cut.
    static std::optional<platform::Error> syncFolder(int folderFd,
                                                     const std::filesystem::path& path);

    ScratchFile(ScratchFile&&) noexcept = default;
    ~ScratchFile();

    int fd() const { return fd_.get(); }

    // The content reaches the disk before its name takes the target's place, and the rename
    // before the call returns.
    std::optional<platform::Error> placeAt(const Place& target);

private:
    ScratchFile(FileDescriptor folderFd, std::string name, FileDescriptor fd)
        : folder_(std::move(folderFd)), name_(std::move(name)), fd_(std::move(fd)) {}

    FileDescriptor folder_;
    std::string name_;
    FileDescriptor fd_;  // invalid once closed for placing
};

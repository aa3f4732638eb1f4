#pragma once

#include <filesystem>
#include <string>

namespace platform {

// A failure reported by a platform service: the text callers show to users, what kind of failure
// it was, so callers can branch on it, and the path it concerns, when it concerns one.
struct Error {
    enum class Kind {
        notFound,        // nothing stands at the path
        noSpace,         // the volume, or the user's share of it, is full
        notRegularFile,  // a folder, link or special file stands where a file was expected
        linkedFolder,    // a symbolic link stands where a folder of the container must be
        other,
    };

    std::string description;
    Kind kind = Kind::other;
    std::filesystem::path path = {};
};

}  // namespace platform

#pragma once

#include <string>

namespace platform {

// A failure reported by a platform service, with the text callers show to users.
struct Error {
    std::string description;
};

}  // namespace platform

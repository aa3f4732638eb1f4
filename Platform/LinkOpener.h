#pragma once

#include <string>

namespace platform {

// Hands a link that the application does not show itself (a web page, a mail address) to the
// system's handler for its scheme: the user's browser, the mail program.
class LinkOpener {
public:
    virtual ~LinkOpener() = default;

    // Returns at once, without waiting for the handler; false when the system could not be
    // asked. Safe from any thread.
    virtual bool open(const std::string& url) = 0;
};

}  // namespace platform

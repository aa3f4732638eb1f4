#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// The secrets that let a browser in. Each address handed out holds its own token, good for one
// login: the first page load redeems it for the session cookie, so an address seen later (in a
// shell history, a terminal's scrollback) opens nothing. Safe from any thread.
class LoginTokens {
public:
    // A fresh token, good until redeemed.
    std::string issue();
    // True once for a token that was issued; false for any other text and for every later try.
    bool redeem(std::string_view token);

private:
    std::mutex mutex_;
    std::vector<std::string> unused_;
};

}  // namespace host

#include "Host/Web/LoginTokens.h"

#include <algorithm>

#include "Host/Web/WebAccess.h"

namespace host {

std::string LoginTokens::issue() {
    std::string token = web_access::randomToken();
    std::lock_guard lock(mutex_);
    unused_.push_back(token);
    return token;
}

bool LoginTokens::redeem(std::string_view token) {
    std::lock_guard lock(mutex_);
    auto found = std::find_if(unused_.begin(), unused_.end(), [&](const std::string& unused) {
        return web_access::sameSecret(unused, token);
    });
    if (found == unused_.end()) {
        return false;
    }
    unused_.erase(found);
    return true;
}

}  // namespace host

#include "Platform/Posix/RandomHex.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    // The system's random source, at most 256 bytes a call.
    for (std::size_t filled = 0; filled < bytes;) {
        std::size_t chunk = std::min<std::size_t>(bytes - filled, 256);
        if (::getentropy(random.data() + filled, chunk) != 0) {
            std::abort();  // only for a bad buffer: never a short or predictable secret
        }
        filled += chunk;
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes * 2);
    for (unsigned char byte : random) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 15]);
    }
    return text;
}

#include "Platform/Desktop/RandomHex.h"

#include <sys/random.h>

#include <vector>

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> random(bytes);
    for (std::size_t filled = 0; filled < bytes;) {
        ssize_t got = ::getrandom(random.data() + filled, bytes - filled, 0);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
        }
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

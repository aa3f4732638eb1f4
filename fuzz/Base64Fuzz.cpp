// Strict base64: whatever decodes must encode back to the same text, and every byte string must
// survive encoding and decoding.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "App/Bridge/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto decoded = base64::decode(input);
    std::string inPlace(input);
    if (base64::decodeInPlace(inPlace) != decoded.has_value() || (decoded && inPlace != *decoded)) {
        std::abort();
    }
    if (decoded && base64::encode(*decoded) != input) {
        std::abort();
    }
    if (base64::decode(base64::encode(input)) != input) {
        std::abort();
    }
    return 0;
}

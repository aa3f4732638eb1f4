// Strict base64: whatever decodes must encode back to the same text, every byte string must
// survive encoding and decoding, and every engine the machine runs must agree with the portable
// one on every input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "App/Bridge/Base64.h"

using base64::Engine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto decoded = base64::decode(input, Engine::scalar);
    std::string encoded = base64::encode(input, Engine::scalar);
    for (Engine engine : base64::availableEngines()) {
        std::string inPlace(input);
        bool inPlaceValid = base64::decodeInPlace(inPlace, engine);
        if (base64::decode(input, engine) != decoded || inPlaceValid != decoded.has_value() ||
            (decoded && inPlace != *decoded) || base64::encode(input, engine) != encoded ||
            base64::decode(encoded, engine) != input) {
            std::abort();
        }
    }
    if (decoded && base64::encode(*decoded) != input) {
        std::abort();
    }
    if (base64::decode(encoded) != input) {
        std::abort();
    }
    return 0;
}

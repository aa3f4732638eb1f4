// Artwork comes from the network: no image data may crash the decoder or claim a size it lacks.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Platform/Desktop/StbImageDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const StbImageDecoder decoder;
    auto image = decoder.decode(std::string(reinterpret_cast<const char*>(data), size));
    if (image &&
        (image->width <= 0 || image->height <= 0 ||
         static_cast<long long>(image->width) * image->height > StbImageDecoder::maxPixels)) {
        std::abort();
    }
    return 0;
}

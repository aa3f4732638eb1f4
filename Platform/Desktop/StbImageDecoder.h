#pragma once

#include "Platform/ImageDecoder.h"

// Decodes with stb_image. The data comes from the network, so its size is bounded before any
// decoding: at most `maxBytes` of input and `maxPixels` pixels.
class StbImageDecoder : public platform::ImageDecoder {
public:
    static constexpr std::size_t maxBytes = 16 * 1024 * 1024;
    static constexpr long long maxPixels = 4096LL * 4096LL;

    std::optional<platform::Image> decode(std::string data) const override;
};

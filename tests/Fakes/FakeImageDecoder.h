#pragma once

#include <cstdio>

#include "Platform/ImageDecoder.h"

// Takes "image WxH" for a picture of that size; anything else is not an image.
class FakeImageDecoder : public platform::ImageDecoder {
public:
    std::optional<platform::Image> decode(std::string data) const override {
        int width = 0;
        int height = 0;
        if (std::sscanf(data.c_str(), "image %dx%d", &width, &height) != 2) {
            return std::nullopt;
        }
        return platform::Image{width, height, std::make_shared<const std::string>(std::move(data))};
    }
};

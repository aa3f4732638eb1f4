#include "Platform/Desktop/StbImageDecoder.h"

#include <climits>
#include <memory>

#include <stb_image.h>

std::optional<platform::Image> StbImageDecoder::decode(std::string data) const {
    if (data.empty() || data.size() > maxBytes) {
        return std::nullopt;
    }
    const auto* bytes = reinterpret_cast<const stbi_uc*>(data.data());
    int length = static_cast<int>(data.size());
    int width = 0;
    int height = 0;
    int channels = 0;
    if (!stbi_info_from_memory(bytes, length, &width, &height, &channels) || width <= 0 ||
        height <= 0 || static_cast<long long>(width) * height > maxPixels) {
        return std::nullopt;
    }
    // Decoding the whole picture is what tells a real image from a forged header.
    std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(bytes, length, &width, &height, &channels, 0), stbi_image_free);
    if (!pixels) {
        return std::nullopt;
    }
    return platform::Image{width, height, std::make_shared<const std::string>(std::move(data))};
}

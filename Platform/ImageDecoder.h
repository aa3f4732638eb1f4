#pragma once

#include <memory>
#include <optional>
#include <string>

namespace platform {

// A decoded picture: its size in pixels and the encoded bytes it came from.
struct Image {
    int width = 0;
    int height = 0;
    std::shared_ptr<const std::string> encoded;
};

// Decodes untrusted image data. Safe from any thread.
class ImageDecoder {
public:
    virtual ~ImageDecoder() = default;

    // Gives the image, or nothing for data that is not an image the decoder accepts.
    virtual std::optional<Image> decode(std::string data) const = 0;
};

}  // namespace platform

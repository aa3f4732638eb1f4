#pragma once

#include <string>

#include <stb_image_write.h>

// A real PNG picture of the given size, flat grey.
inline std::string pngOf(int width, int height) {
    std::string pixels(static_cast<std::size_t>(width) * height, '\x80');
    std::string png;
    stbi_write_png_to_func(
        [](void* context, void* data, int size) {
            static_cast<std::string*>(context)->append(static_cast<char*>(data), size);
        },
        &png, width, height, 1, pixels.data(), width);
    return png;
}

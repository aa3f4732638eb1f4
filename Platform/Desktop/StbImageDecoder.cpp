#include "Platform/Desktop/StbImageDecoder.h"

#include <climits>
#include <memory>

// Compiled here rather than taken from the shared library, so that sanitizers and the fuzzer see
// into the decoder, and limited to the formats artwork comes in.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#define STBI_NO_LINEAR
#define STBI_NO_HDR
#define STBI_ONLY_PNG
#define STBI_ONLY_JPEG
#define STBI_ONLY_GIF
#define STBI_ONLY_BMP
#define STBI_MAX_DIMENSIONS 16384
#include <stb_image.h>

namespace {
// stb_image sizes its buffer for PNG data by what each chunk claims before it reads the chunk, so
// a few bytes claiming gigabytes would make it ask for gigabytes. No real chunk claims more than
// the file holds.
bool pngChunksFitTheData(std::string_view data) {
    constexpr std::string_view signature = "\x89PNG\r\n\x1a\n";
    if (!data.starts_with(signature)) {
        return true;
    }
    std::size_t position = signature.size();
    // A chunk is its length, its type, the data and a checksum; the decoder acts on a header
    // even when the rest is missing.
    while (data.size() - position >= 8) {
        const auto* header = reinterpret_cast<const unsigned char*>(data.data() + position);
        std::size_t length =
            (std::size_t{header[0]} << 24) | (header[1] << 16) | (header[2] << 8) | header[3];
        if (data.size() - position < 12 || length > data.size() - position - 12) {
            return false;
        }
        position += 12 + length;
    }
    return true;
}

std::size_t bigEndian16(std::string_view data, std::size_t at) {
    return (static_cast<unsigned char>(data[at]) << 8) | static_cast<unsigned char>(data[at + 1]);
}

// A Huffman table segment holds tables of at most 256 codes each. This stb_image writes past its
// table for more, so such files are refused before it sees them.
bool huffmanTablesFit(std::string_view segment) {
    std::size_t position = 0;
    while (position < segment.size()) {
        if (segment.size() - position < 17) {
            return false;
        }
        std::size_t codes = 0;
        for (std::size_t i = 1; i <= 16; ++i) {
            codes += static_cast<unsigned char>(segment[position + i]);
        }
        if (codes > 256 || codes > segment.size() - position - 17) {
            return false;
        }
        position += 17 + codes;
    }
    return true;
}

// Walks the marker segments of a JPEG file, entropy-coded data included, and checks every
// Huffman table segment.
bool jpegHuffmanTablesFit(std::string_view data) {
    // Like the decoder, take any run of fill bytes before the start-of-image marker.
    std::size_t start = data.find_first_not_of('\xff');
    if (start == 0 || start == std::string_view::npos || data[start] != '\xd8') {
        return true;
    }
    std::size_t position = start + 1;
    while (position + 4 <= data.size()) {
        if (static_cast<unsigned char>(data[position]) != 0xff) {
            ++position;  // entropy-coded data between markers
            continue;
        }
        auto marker = static_cast<unsigned char>(data[position + 1]);
        if (marker == 0x00 || marker == 0xff || (marker >= 0xd0 && marker <= 0xd7) ||
            marker == 0x01) {
            position +=
                marker == 0xff ? 1 : 2;  // stuffing, fill and restart markers carry no length
            continue;
        }
        if (marker == 0xd9) {
            return true;
        }
        std::size_t length = bigEndian16(data, position + 2);
        if (length < 2 || length > data.size() - position - 2) {
            return marker != 0xc4;
        }
        if (marker == 0xc4 && !huffmanTablesFit(data.substr(position + 4, length - 2))) {
            return false;
        }
        position += 2 + length;
    }
    return true;
}
}  // namespace

std::optional<platform::Image> StbImageDecoder::decode(std::string data) const {
    if (data.empty() || data.size() > maxBytes || !pngChunksFitTheData(data) ||
        !jpegHuffmanTablesFit(data)) {
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

#pragma once

#include <cstddef>

// The vector engines of base64: each handles the bulk of a text, whole groups from the front, and
// leaves the rest (the tail, the fill, and any fault) to the portable code, which has the last
// word on what is valid. Call one only when its `supports` function says the processor can.
namespace base64::vector {

bool supportsSsse3();
bool supportsAvx2();

// Encode 3-byte groups from the front of `in` while a whole vector's load remains; give the
// bytes consumed (a multiple of 3), having written 4/3 as many characters at `out`.
std::size_t encodeSsse3(const unsigned char* in, std::size_t size, char* out);
std::size_t encodeAvx2(const unsigned char* in, std::size_t size, char* out);

// Decode 4-character groups, without fill, from the front of `in`; stop before a block holding a
// character outside the alphabet. Give the characters consumed (a multiple of 4), having written
// 3/4 as many bytes at `out`. `out` may be `in` itself: bytes never overtake unread text.
std::size_t decodeSsse3(const char* in, std::size_t size, unsigned char* out);
std::size_t decodeAvx2(const char* in, std::size_t size, unsigned char* out);

}  // namespace base64::vector

#include "App/Bridge/Base64Vector.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include <cstdint>

// The technique: a vector of characters is checked and turned into 6-bit values with three
// 16-entry table lookups (pshufb) keyed by each character's high and low nibble; the values are
// packed four into three bytes with two multiply-adds and a shuffle. Encoding runs the same way
// back: a shuffle and two multiplies spread three bytes over four 6-bit values, and one lookup
// keyed by the value's range gives the offset to its character. The functions are compiled for
// their instruction set alone (target attributes), so the rest of the program runs anywhere.
namespace base64::vector {

namespace {
// Bit sets of the character classes, by low nibble and by high nibble: a character is in the
// alphabet exactly when its two sets share no bit. High nibbles 0, 1 and 8 to 15 are refused
// whatever the low nibble (bit 0x10 is in every low-nibble set).
using Table = std::int8_t[16];
alignas(16) constexpr Table lowNibbleClasses = {0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                                0x11, 0x11, 0x13, 0x1a, 0x1b, 0x1b, 0x1b, 0x1a};
alignas(16) constexpr Table highNibbleClasses = {0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                                 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10};
// What to add to a character to get its value, by high nibble; "/" shares its nibble with "+"
// and takes entry 1 instead.
alignas(16) constexpr Table decodeOffsets = {0, 16, 19, 4, -65, -65, -71, -71,
                                             0, 0,  0,  0, 0,   0,   0,   0};
// What to add to a value to get its character, by range: 0 for 26..51, 1..10 for 52..61, 11 for
// 62, 12 for 63, 13 for 0..25.
alignas(16) constexpr Table encodeOffsets = {
    'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
    '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A',      0,        0};
// Per 3 input bytes s0 s1 s2: the 32-bit word s1 s0 s2 s1, whose halves hold the four values.
alignas(16) constexpr Table spreadBytes = {1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10};
// Per 32-bit word holding 24 decoded bits: its three bytes in text order.
alignas(16) constexpr Table gather = {2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1};

__attribute__((target("ssse3"))) __m128i load128(const Table& table) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(table));
}

// The same table in both lanes, as the 256-bit lookups work lane by lane.
__attribute__((target("avx2"))) __m256i load256(const Table& table) {
    return _mm256_broadcastsi128_si256(load128(table));
}

__attribute__((target("ssse3"))) __m128i valuesOf128(__m128i characters, bool& valid) {
    const __m128i nibble = _mm_set1_epi8(0x0f);
    const __m128i slash = _mm_set1_epi8('/');
    __m128i high = _mm_and_si128(_mm_srli_epi32(characters, 4), nibble);
    __m128i low = _mm_and_si128(characters, nibble);
    __m128i lowClasses = _mm_shuffle_epi8(load128(lowNibbleClasses), low);
    __m128i highClasses = _mm_shuffle_epi8(load128(highNibbleClasses), high);
    // (SSSE3 has no test instruction: compare with zero instead.)
    __m128i shared = _mm_and_si128(lowClasses, highClasses);
    valid = _mm_movemask_epi8(_mm_cmpeq_epi8(shared, _mm_setzero_si128())) == 0xffff;
    __m128i offsetIndex = _mm_add_epi8(high, _mm_cmpeq_epi8(characters, slash));
    __m128i offsets = _mm_shuffle_epi8(load128(decodeOffsets), offsetIndex);
    return _mm_add_epi8(characters, offsets);
}

// Four 6-bit values a b c d per 32-bit word become the 24 bits abcd in its low three bytes.
__attribute__((target("ssse3"))) __m128i packed128(__m128i values) {
    __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    return _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
}

__attribute__((target("ssse3"))) __m128i charactersOf128(__m128i bytes) {
    __m128i spread = _mm_shuffle_epi8(bytes, load128(spreadBytes));
    __m128i ac = _mm_mulhi_epu16(_mm_and_si128(spread, _mm_set1_epi32(0x0fc0fc00)),
                                 _mm_set1_epi32(0x04000040));
    __m128i bd = _mm_mullo_epi16(_mm_and_si128(spread, _mm_set1_epi32(0x003f03f0)),
                                 _mm_set1_epi32(0x01000010));
    __m128i values = _mm_or_si128(ac, bd);
    __m128i range = _mm_subs_epu8(values, _mm_set1_epi8(51));
    __m128i upper = _mm_cmpgt_epi8(_mm_set1_epi8(26), values);
    range = _mm_or_si128(range, _mm_and_si128(upper, _mm_set1_epi8(13)));
    __m128i offsets = _mm_shuffle_epi8(load128(encodeOffsets), range);
    return _mm_add_epi8(values, offsets);
}

__attribute__((target("avx2"))) __m256i valuesOf256(__m256i characters, bool& valid) {
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    const __m256i slash = _mm256_set1_epi8('/');
    __m256i high = _mm256_and_si256(_mm256_srli_epi32(characters, 4), nibble);
    __m256i low = _mm256_and_si256(characters, nibble);
    __m256i lowClasses = _mm256_shuffle_epi8(load256(lowNibbleClasses), low);
    __m256i highClasses = _mm256_shuffle_epi8(load256(highNibbleClasses), high);
    valid = _mm256_testz_si256(lowClasses, highClasses) != 0;
    __m256i offsetIndex = _mm256_add_epi8(high, _mm256_cmpeq_epi8(characters, slash));
    __m256i offsets = _mm256_shuffle_epi8(load256(decodeOffsets), offsetIndex);
    return _mm256_add_epi8(characters, offsets);
}

__attribute__((target("avx2"))) __m256i packed256(__m256i values) {
    __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    return _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
}

__attribute__((target("avx2"))) __m256i charactersOf256(__m256i bytes) {
    __m256i spread = _mm256_shuffle_epi8(bytes, load256(spreadBytes));
    __m256i ac = _mm256_mulhi_epu16(_mm256_and_si256(spread, _mm256_set1_epi32(0x0fc0fc00)),
                                    _mm256_set1_epi32(0x04000040));
    __m256i bd = _mm256_mullo_epi16(_mm256_and_si256(spread, _mm256_set1_epi32(0x003f03f0)),
                                    _mm256_set1_epi32(0x01000010));
    __m256i values = _mm256_or_si256(ac, bd);
    __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
    __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), values);
    range = _mm256_or_si256(range, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
    __m256i offsets = _mm256_shuffle_epi8(load256(encodeOffsets), range);
    return _mm256_add_epi8(values, offsets);
}
}  // namespace

bool supportsSsse3() {
    return __builtin_cpu_supports("ssse3");
}

bool supportsAvx2() {
    return __builtin_cpu_supports("avx2");
}

__attribute__((target("ssse3"))) std::size_t encodeSsse3(const unsigned char* in, std::size_t size,
                                                         char* out) {
    std::size_t done = 0;
    // Each load reads 16 bytes and uses 12.
    for (; done + 16 <= size; done += 12, out += 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), charactersOf128(bytes));
    }
    return done;
}

__attribute__((target("avx2"))) std::size_t encodeAvx2(const unsigned char* in, std::size_t size,
                                                       char* out) {
    std::size_t done = 0;
    // Each lane takes 12 bytes from a load of 16: the second lane's load ends 28 bytes in.
    for (; done + 28 <= size; done += 24, out += 32) {
        __m256i bytes = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done + 12)), 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), charactersOf256(bytes));
    }
    return done;
}

__attribute__((target("ssse3"))) std::size_t decodeSsse3(const char* in, std::size_t size,
                                                         unsigned char* out) {
    std::size_t done = 0;
    for (; done + 16 <= size; done += 16, out += 12) {
        bool valid = false;
        __m128i values =
            valuesOf128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + done)), valid);
        if (!valid) {
            break;
        }
        __m128i bytes = _mm_shuffle_epi8(packed128(values), load128(gather));
        // Exactly 12 bytes: 8, then 4. Stores never reach text not yet read.
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
        int last = _mm_cvtsi128_si32(_mm_srli_si128(bytes, 8));
        __builtin_memcpy(out + 8, &last, 4);
    }
    return done;
}

__attribute__((target("avx2"))) std::size_t decodeAvx2(const char* in, std::size_t size,
                                                       unsigned char* out) {
    std::size_t done = 0;
    for (; done + 32 <= size; done += 32, out += 24) {
        bool valid = false;
        __m256i values =
            valuesOf256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + done)), valid);
        if (!valid) {
            break;
        }
        __m256i lanes = _mm256_shuffle_epi8(packed256(values), load256(gather));
        // Twelve bytes a lane; closing the gap gives 24 in a row, stored as 16 and 8.
        __m256i bytes =
            _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), _mm256_extracti128_si256(bytes, 1));
    }
    return done;
}

}  // namespace base64::vector

#else

namespace base64::vector {

bool supportsSsse3() {
    return false;
}

bool supportsAvx2() {
    return false;
}

std::size_t encodeSsse3(const unsigned char*, std::size_t, char*) {
    return 0;
}

std::size_t encodeAvx2(const unsigned char*, std::size_t, char*) {
    return 0;
}

std::size_t decodeSsse3(const char*, std::size_t, unsigned char*) {
    return 0;
}

std::size_t decodeAvx2(const char*, std::size_t, unsigned char*) {
    return 0;
}

}  // namespace base64::vector

#endif

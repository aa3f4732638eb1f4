#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "App/Bridge/Base64.h"

using base64::Engine;

namespace {

std::string randomBytes(std::mt19937& random, std::size_t size) {
    std::string bytes(size, '\0');
    std::ranges::generate(bytes, [&] { return static_cast<char>(random()); });
    return bytes;
}

// Every engine the machine runs, each held to the portable one: sizes around every vector width
// and its tails, through encode, decode and decoding in place.
TEST(Base64Test, EveryEngineRoundTripsLikeThePortableOneForEverySizeUpTo4096) {
    ASSERT_EQ(base64::availableEngines().front(), Engine::scalar);
    // Both alphabet ends, and both paddings.
    EXPECT_EQ(base64::encode("\xfb\xff\x66") + base64::encode("fo") + base64::encode("f"),
              "+/9mZm8=Zg==");
    std::mt19937 random(20261206);
    for (std::size_t size = 0; size <= 4096; ++size) {
        std::string bytes = randomBytes(random, size);
        std::string expected = base64::encode(bytes, Engine::scalar);
        ASSERT_EQ(base64::decode(expected, Engine::scalar), bytes) << size;
        for (Engine engine : base64::availableEngines()) {
            SCOPED_TRACE(base64::engineName(engine));
            ASSERT_EQ(base64::encode(bytes, engine), expected) << size;
            std::vector<char> into(expected.size() + 1, '#');
            base64::encodeInto(bytes, into.data());
            ASSERT_EQ(std::string_view(into.data(), expected.size()), expected);
            ASSERT_EQ(into.back(), '#') << "wrote past its end";
            ASSERT_EQ(base64::decode(expected, engine), bytes) << size;
            std::string inPlace = expected;
            ASSERT_TRUE(base64::decodeInPlace(inPlace, engine));
            ASSERT_EQ(inPlace, bytes) << size;
        }
    }
}

// Anything but strict single-line base64 is refused whole: a lenient decoder would store
// something other than what the page meant. Each shape stands alone and around a long valid
// text, which puts it where the vector engines are at work.
TEST(Base64Test, EveryEngineRefusesEveryOtherShapeAndClassifiesEveryByteLikeThePortableOne) {
    std::mt19937 random(7);
    const std::string valid = base64::encode(randomBytes(random, 144));  // 192 characters
    for (const char* text : {"a", "abc", "abcde", "aGk==", "aGk=\n", "aG k=", "aGk=aGk=", "a===",
                             "=aGk", "aG=k", "aGk-", "aGk_", "aGk\x80", "aGl=", "aR=="}) {
        for (const std::string& whole : {std::string(text), valid + text, text + valid}) {
            for (Engine engine : base64::availableEngines()) {
                EXPECT_FALSE(base64::decode(whole, engine))
                    << base64::engineName(engine) << " took " << whole;
                std::string inPlace = whole;
                EXPECT_FALSE(base64::decodeInPlace(inPlace, engine));
            }
        }
    }
    EXPECT_FALSE(base64::decode(std::string_view("Zm9v\0AAA", 8)));

    // Each byte value at the edges of 16- and 32-character blocks of a valid text: the vector
    // engines' character classes must agree with the portable table on all 256 values.
    for (int byte = 0; byte < 256; ++byte) {
        for (std::size_t at : {0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 95, 150, 187, 188, 191}) {
            std::string text = valid;
            text[at] = static_cast<char>(byte);
            auto expected = base64::decode(text, Engine::scalar);
            for (Engine engine : base64::availableEngines()) {
                ASSERT_EQ(base64::decode(text, engine), expected)
                    << base64::engineName(engine) << ": byte " << byte << " at " << at;
            }
        }
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <random>

#include "App/Bridge/Base64.h"

namespace {

TEST(Base64Test, DecodesWhatItEncodesForEverySizeUpTo4096) {
    std::mt19937 random(20261206);
    for (std::size_t size = 0; size <= 4096; ++size) {
        std::string bytes(size, '\0');
        for (char& byte : bytes) {
            byte = static_cast<char>(random());
        }
        std::string text = base64::encode(bytes);
        ASSERT_EQ(text.size(), (size + 2) / 3 * 4);
        ASSERT_EQ(base64::decode(text), bytes) << size;
        ASSERT_TRUE(base64::decodeInPlace(text));
        ASSERT_EQ(text, bytes) << size;
    }
}

TEST(Base64Test, KnownVectors) {
    EXPECT_EQ(base64::encode(""), "");
    EXPECT_EQ(base64::encode("f"), "Zg==");
    EXPECT_EQ(base64::encode("fo"), "Zm8=");
    EXPECT_EQ(base64::encode("foo"), "Zm9v");
    EXPECT_EQ(base64::encode("\xfb\xff"), "+/8=");
    EXPECT_EQ(base64::decode(""), "");
    EXPECT_EQ(base64::decode("aGk="), "hi");
}

// Anything but strict single-line base64 is refused whole: a lenient decoder would store
// something other than what the page meant.
TEST(Base64Test, RefusesEveryOtherShape) {
    for (const char* text : {"a",     "ab",    "abc",      "abcde",    "aGk",  "aGk==", "aGk=\n",
                             "aG k=", " aGk=", "aGk=\r\n", "aGk=aGk=", "a===", "====",  "=aGk",
                             "aG=k",  "aGk-",  "aGk_",     "aGk\x80",  "aGl=", "aR=="}) {
        EXPECT_FALSE(base64::decode(text)) << text;
        std::string inPlace = text;
        EXPECT_FALSE(base64::decodeInPlace(inPlace)) << text;
    }
    EXPECT_FALSE(base64::decode(std::string_view("Zm9v\0AAA", 8)));
}

}  // namespace

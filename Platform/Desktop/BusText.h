#pragma once

#include <string>
#include <string_view>

// `text` as a D-Bus string may carry it: valid UTF-8 without NUL, surrogates or noncharacters
// (U+FDD0..U+FDEF and every U+xFFFE, U+xFFFF), which the bus library refuses or cuts the string
// at. Each of those, and each byte of a malformed sequence, becomes U+FFFD.
std::string busText(std::string_view text);

#pragma once

#include <cstddef>
#include <string>

// `bytes` bytes from the system's random source, as lower-case hexadecimal digits.
std::string randomHex(std::size_t bytes);

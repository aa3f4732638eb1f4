#pragma once

#include <string_view>

#include "Platform/Desktop/CurlLibrary.h"

// True when the text parses as an absolute URL with a scheme, as URLSession::isValidURL tells;
// loads the library to ask it about URLs with a host.
bool isTransferableURL(std::string_view text, CurlLibrary& library);

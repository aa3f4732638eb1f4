#pragma once

#include <nlohmann/json.hpp>

// A result or event object as the web application receives it: string keys, JSON values.
// Unsigned 64-bit integers stay unsigned, so byte counts above 2^63 are written exactly.
using JSObject = nlohmann::json;

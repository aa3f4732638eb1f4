#pragma once

#include <filesystem>

#include "Platform/Error.h"

// The error for a failed system call: the system's description of `number` (an errno value),
// its kind, and the path it concerns.
platform::Error systemError(int number, const std::filesystem::path& path = {});

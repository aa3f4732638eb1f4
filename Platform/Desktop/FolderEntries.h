#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "Platform/Error.h"

// Calls `visit` with the name of each entry of the open folder `folder` ("." and ".." left out),
// in the order the file system gives them; `path` names the folder in errors.
[[nodiscard]] std::optional<platform::Error> forEachEntry(
    int folder, const std::filesystem::path& path,
    const std::function<void(const char* name)>& visit);

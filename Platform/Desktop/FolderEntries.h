#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "Platform/Error.h"

// Calls `visit` with the name of each entry of the open folder `folder` ("." and ".." left out),
// in the order the file system gives them; `path` names the folder in errors.
[[nodiscard]] std::optional<platform::Error> forEachEntry(
    int folder, const std::filesystem::path& path,
    const std::function<void(const char* name)>& visit);

// Removes the entry `name` of the open folder `folder`: a file or link itself, never what a link
// names, or a folder with everything in it. However deep the tree, the call stack stays flat and
// no more than a few descriptors are open at once. The first failure ends the removal and is
// returned, naming the entry under `path`, the entry's own path.
[[nodiscard]] std::optional<platform::Error> removeEntry(int folder, const std::string& name,
                                                         const std::filesystem::path& path);

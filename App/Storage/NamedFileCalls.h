#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string_view>

#include "App/Bridge/CAPPluginCall.h"
#include "Platform/Error.h"
#include "Platform/FileSystem.h"
#include "Platform/Result.h"

// What the plugins that keep files in a flat folder of the container answer alike.

// A link standing where a folder of the container should be is never followed: the call is
// refused, naming it, also by the methods that otherwise never reject. Gives whether it refused.
bool refusedForLink(const CAPPluginCall& call, const std::optional<platform::Error>& error);

template <class T>
bool refusedForLink(const CAPPluginCall& call, const platform::Result<T>& result) {
    return !result.ok() && refusedForLink(call, std::optional(result.error()));
}

// Removes the file that the call's `key` names in `folder` (asked for only once the name is
// known to stay in it) and resolves {"success": whether it was removed}. Rejects "<key>
// required" or "Invalid filename" for a missing or unsafe name.
void deleteNamedFile(const CAPPluginCall& call, platform::FileSystem& files,
                     const std::function<std::filesystem::path()>& folder, std::string_view key);

#pragma once

#include <filesystem>

#include "Platform/Posix/FileDescriptor.h"
#include "Platform/Result.h"

// Opens the folder `inside` (relative to the container's `root`) without following a link on the
// way; missing folders are made when `create` is set. A link standing for a folder is named as such
// (Error::Kind::linkedFolder); any other failure is the system's, for the path walked so far.
platform::Result<FileDescriptor> openContainerFolder(const std::filesystem::path& root,
                                                     const std::filesystem::path& inside,
                                                     bool create);

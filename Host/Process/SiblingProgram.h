#pragma once

#include <filesystem>
#include <string_view>

namespace host {

// A program that ships with this binary: beside it in a build tree, under libexec/musicshell/
// of the prefix in an installed one.
std::filesystem::path siblingProgram(std::string_view name);

}  // namespace host

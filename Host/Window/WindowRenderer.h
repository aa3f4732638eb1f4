#pragma once

#include <filesystem>

namespace host {

// Whether the machine has a graphics device that a GL driver could draw with: a render node among
// `devices`.
bool hasRenderNode(const std::filesystem::path& devices = "/dev/dri");

// Without a render node every GL driver draws with the processor, and GTK's GL renderer adds only
// its own start (a tenth of a second before the window shows, more under load) to the window's:
// the cairo renderer draws the same window. A renderer the user chose is kept. Before GTK starts,
// while no other thread reads the environment.
void chooseWindowRenderer(const std::filesystem::path& devices = "/dev/dri");

}  // namespace host

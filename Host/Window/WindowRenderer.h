#pragma once

#include <filesystem>

namespace host {

// Whether the machine has a graphics device that a GL driver could draw with, among `devices`: a
// render node, or the node of the driver that makes none.
bool hasGraphicsDevice(const std::filesystem::path& devices = "/dev");

// Without a graphics device every GL driver draws with the processor, and GL only adds its own
// start to the window's (a tenth of a second before the window shows, more under load): GTK opens
// it with the display and its GL renderer starts it again. The window is drawn with the cairo
// renderer and GTK leaves GL closed. What the user set for either is kept. Call before GTK starts,
// while no other thread reads the environment.
void chooseWindowRenderer(const std::filesystem::path& devices = "/dev");

}  // namespace host

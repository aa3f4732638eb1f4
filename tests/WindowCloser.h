#pragma once

#include <string>

// Asks the top-level window with this title, on this X display, to close, as a window
// manager's close button does (WM_DELETE_WINDOW). Gives whether the request went out.
bool closeWindow(const std::string& display, const std::string& title);

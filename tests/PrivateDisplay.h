#pragma once

#include <string>

#include "AnnouncingServer.h"

// An X display of the test's own (Xvfb, no screen needed), so a window test never reaches the
// desktop it runs on. Xvfb prints the display's number once it takes connections.
class PrivateDisplay {
public:
    std::string name() const { return ":" + server_.line(); }

private:
    AnnouncingServer server_{
        {"Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"}};
};

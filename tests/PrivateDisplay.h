#pragma once

#include <csignal>
#include <string>

#include "ShellProcess.h"

// An X display of the test's own (Xvfb, no screen needed), so a window test never reaches the
// desktop it runs on. Xvfb prints the display's number once it takes connections.
class PrivateDisplay {
public:
    // Ended gently, so that it removes its lock file.
    ~PrivateDisplay() {
        server_.signal(SIGTERM);
        server_.wait();
    }
    const std::string& name() const { return name_; }

private:
    ShellProcess server_{{"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"},
                         "unix:path=/nonexistent",
                         "/usr/bin/Xvfb"};
    std::string name_ = ":" + server_.firstOtherLine();
};

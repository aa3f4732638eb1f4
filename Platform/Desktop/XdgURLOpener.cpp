#include "Platform/Desktop/XdgURLOpener.h"

#include <cerrno>
#include <cstring>

#include "Platform/Log.h"
#include "Platform/Posix/SpawnProcess.h"

bool XdgURLOpener::open(const std::string& url) {
    auto program = platform::findProgram("xdg-open");
    int error = program ? platform::startDetached({*program, url}) : ENOENT;
    if (error != 0) {
        platform::log("cannot open " + url + ": xdg-open: " + std::strerror(error));
        return false;
    }
    return true;
}

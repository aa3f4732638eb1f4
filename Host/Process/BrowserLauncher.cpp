#include "Host/Process/BrowserLauncher.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "Platform/Log.h"
#include "Platform/Posix/FileDescriptor.h"
#include "Platform/Posix/SpawnProcess.h"
#include "Platform/Posix/WriteAll.h"
#include "Platform/URI.h"

namespace host {

namespace {
// The browser and its arguments for a page: Chromium in an app window whose media keys and
// media session stay ours, else whatever the desktop opens pages with.
std::optional<std::vector<std::string>> browserCommand(const std::string& url) {
    for (const char* chromium : {"chromium", "chromium-browser"}) {
        if (auto program = platform::findProgram(chromium)) {
            return std::vector<std::string>{
                *program, "--app=" + url,
                "--disable-features=HardwareMediaKeyHandling,MediaSessionService"};
        }
    }
    if (auto opener = platform::findProgram("xdg-open")) {
        return std::vector<std::string>{*opener, url};
    }
    return std::nullopt;
}

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        if (const char* value = std::getenv(name); value && *value) {
            return true;
        }
    }
    return false;
}
}  // namespace

BrowserLauncher::BrowserLauncher(std::filesystem::path pageDirectory, unsigned short port)
    : page_(pageDirectory / ("open-" + std::to_string(port) + ".html")) {}

BrowserLauncher::~BrowserLauncher() {
    if (starter_.joinable()) {
        starter_.join();
    }
    if (!keepPage_) {
        ::unlink(page_.c_str());
    }
}

bool BrowserLauncher::open(const std::string& address) {
    // A browser started without a display ends at once, and the page it was given says nothing
    // of why.
    if (!hasDisplay()) {
        platform::log(
            "cannot open a browser: no display ($DISPLAY and $WAYLAND_DISPLAY are unset); open "
            "the address by hand");
        return false;
    }
    if (!writePage(address)) {
        return false;
    }
    auto command = browserCommand(pageURL());
    if (!command) {
        platform::log("no browser to open here: open the address by hand");
        return false;
    }
    starter_ = std::thread([command = std::move(*command)] {
        if (int error = platform::startDetached(command)) {
            platform::log(std::string("cannot start the browser: ") + std::strerror(error));
        }
    });
    return true;
}

bool BrowserLauncher::writePage(const std::string& address) const {
    // A page left by a killed run, or anything planted in its place, goes first: the new one is
    // made afresh, readable by the user alone.
    ::unlink(page_.c_str());
    FileDescriptor fd(
        ::open(page_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) {
        platform::log("cannot write the page that opens the browser: " +
                      std::string(std::strerror(errno)));
        return false;
    }
    std::string page =
        "<!doctype html><meta charset=\"utf-8\"><title>musicshell</title>"
        "<meta name=\"referrer\" content=\"no-referrer\">"
        "<meta http-equiv=\"refresh\" content=\"0; url=" +
        address + "\"><script>location.replace(\"" + address + "\")</script>";
    bool written = posix::writeAll(fd.get(), page) == 0;
    if (!written) {
        platform::log("cannot write the page that opens the browser");
    }
    return written;
}

std::string BrowserLauncher::pageURL() const {
    return platform::fileURL(page_);
}

}  // namespace host

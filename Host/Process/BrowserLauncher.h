#pragma once

#include <filesystem>
#include <string>
#include <thread>

namespace host {

// Starts the desktop's browser on an address without showing its secret to other users: the
// address goes into a page in the container that only the user may read, and the browser is
// given that page, never the address, on its command line (which anyone can read in /proc).
// Chromium, when installed, gets an app window of its own with its own media session off, so the
// desktop's media widget lists one player for the page: ours. Nothing waits for the browser.
class BrowserLauncher {
public:
    // The page is written into `pageDirectory`, named after the port.
    BrowserLauncher(std::filesystem::path pageDirectory, unsigned short port);
    // Removes the page once the browser has been started.
    ~BrowserLauncher();
    BrowserLauncher(const BrowserLauncher&) = delete;
    BrowserLauncher& operator=(const BrowserLauncher&) = delete;

    // Writes the page and starts the browser on it; logs what went wrong, or that there is no
    // display to open it on, and then gives false.
    bool open(const std::string& address);
    // Leaves the page in place once the browser has been started, for a launcher that goes
    // before the browser may have read it.
    void keepPage() { keepPage_ = true; }

private:
    bool writePage(const std::string& address) const;
    std::string pageURL() const;

    std::filesystem::path page_;
    std::thread starter_;
    bool keepPage_ = false;
};

}  // namespace host

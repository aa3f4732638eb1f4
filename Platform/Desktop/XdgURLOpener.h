#pragma once

#include "Platform/LinkOpener.h"

// Opens links through xdg-open, found on $PATH, which hands them to the desktop's own handler
// for their scheme. Logs why when xdg-open cannot be started.
class XdgURLOpener : public platform::LinkOpener {
public:
    bool open(const std::string& url) override;
};

#pragma once

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "Eventually.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

// A Wayland compositor of the test's own that draws nowhere, so a window test never reaches the
// desktop it runs on. `environment()` is what a client's needs to reach it, as `env` takes it.
class PrivateCompositor {
public:
    // Once it listens; a test that goes on without it fails on what its client says.
    PrivateCompositor() {
        eventually([&] { return std::filesystem::exists(runtime_ / "wayland-test"); });
    }
    ~PrivateCompositor() {
        server_.signal(SIGTERM);
        server_.wait();
    }
    std::vector<std::string> environment() const {
        return {"XDG_RUNTIME_DIR=" + runtime_.path().string(), "WAYLAND_DISPLAY=wayland-test",
                "GDK_BACKEND=wayland"};
    }

private:
    TemporaryDirectory runtime_;
    ShellProcess server_{{environment()[0], "weston", "--backend=headless-backend.so",
                          "--shell=kiosk-shell.so", "--idle-time=0", "--socket=wayland-test"},
                         "unix:path=/nonexistent",
                         "/usr/bin/env"};
};

#pragma once

#include <csignal>
#include <cstdio>
#include <string>

#include "ShellProcess.h"

// A session bus of the test's own, so nothing reaches the desktop the tests run on.
class PrivateSessionBus {
public:
    const std::string& address() const { return address_; }

    // Runs a command against this bus and gives what it printed, without the last line end.
    std::string run(const std::string& command) const {
        std::string line = "DBUS_SESSION_BUS_ADDRESS='" + address_ + "' " + command + " 2>&1";
        FILE* pipe = ::popen(line.c_str(), "r");
        std::string output;
        for (char buffer[256]; std::fgets(buffer, sizeof buffer, pipe) != nullptr;) {
            output += buffer;
        }
        ::pclose(pipe);
        return output.substr(0, output.find_last_not_of('\n') + 1);
    }

    // The shell's media controls, as the desktop's widget reaches them.
    std::string playerctl(const std::string& arguments) const {
        return run("playerctl -p musicshell " + arguments);
    }
    std::string mpris(const std::string& call, const std::string& player = "musicshell") const {
        return run("dbus-send --session --print-reply --dest=org.mpris.MediaPlayer2." + player +
                   " /org/mpris/MediaPlayer2 " + call);
    }

    // Ends the bus, as a session's bus daemon that crashed.
    void stop() {
        daemon_.signal(SIGKILL);
        daemon_.wait();
    }

private:
    ShellProcess daemon_{{"--session", "--nofork", "--print-address=1"},
                         "unix:path=/nonexistent",
                         "/usr/bin/dbus-daemon"};
    std::string address_ = daemon_.firstOtherLine();
};

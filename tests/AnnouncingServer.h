#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

// A server program the tests start for themselves, which prints one line on standard output once
// it is ready (its address); stopped with SIGTERM when the test ends.
class AnnouncingServer {
public:
    explicit AnnouncingServer(std::vector<std::string> command) {
        int out[2];
        if (::pipe(out) != 0) {
            throw std::runtime_error("pipe failed");
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            std::vector<char*> argv;
            for (auto& argument : command) {
                argv.push_back(argument.data());
            }
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        char buffer[512];
        std::string text;
        while (text.find('\n') == std::string::npos) {
            ssize_t got = ::read(out[0], buffer, sizeof buffer);
            if (got <= 0) {
                ::close(out[0]);
                throw std::runtime_error(command[0] + " did not start");
            }
            text.append(buffer, static_cast<std::size_t>(got));
        }
        ::close(out[0]);
        line_ = text.substr(0, text.find('\n'));
    }
    ~AnnouncingServer() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    AnnouncingServer(const AnnouncingServer&) = delete;
    AnnouncingServer& operator=(const AnnouncingServer&) = delete;

    // What the server printed when it was ready.
    const std::string& line() const { return line_; }

private:
    pid_t pid_ = -1;
    std::string line_;
};

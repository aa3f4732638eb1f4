#include "ShellProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

ShellProcess::ShellProcess(std::vector<std::string> arguments, std::string sessionBus,
                           std::string binary) {
    char pattern[] = "/tmp/musicshell-stderr-XXXXXX";
    int errorFd = ::mkstemp(pattern);
    errorFile_ = pattern;
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::dup2(errorFd, 2);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.c_str(), 1);
        std::vector<char*> argv;
        argv.push_back(binary.data());
        for (auto& argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(errorFd);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
}

ShellProcess::~ShellProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    if (input_ >= 0) {
        ::close(input_);
    }
    ::close(output_);
    ::unlink(errorFile_.c_str());
}

void ShellProcess::send(const std::string& line) {
    std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t written = ::write(input_, text.data() + done, text.size() - done);
        if (written <= 0) {
            throw std::runtime_error("the shell stopped reading");
        }
        done += static_cast<std::size_t>(written);
    }
}

std::optional<ShellProcess::Json> ShellProcess::next(std::chrono::milliseconds timeout) {
    auto line = nextLine(timeout);
    return line ? std::optional(Json::parse(*line)) : std::nullopt;
}

std::optional<std::string> ShellProcess::nextLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (line.starts_with("{")) {
                return line;
            }
            otherLines.push_back(line);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd fd{output_, POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[1 << 16];
        ssize_t got = ::read(output_, buffer, sizeof buffer);
        if (got <= 0) {
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

std::string ShellProcess::firstOtherLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (otherLines.empty() && std::chrono::steady_clock::now() < deadline) {
        if (auto message = nextLine(std::chrono::milliseconds(20))) {
            messages.push_back(Json::parse(*message));
        }
    }
    return otherLines.empty() ? "" : otherLines.front();
}

ShellProcess::Json ShellProcess::call(const Json& request) {
    sendJson(request);
    return answerTo(request.value("id", Json()));
}

ShellProcess::Json ShellProcess::answerTo(const Json& id) {
    while (auto message = next()) {
        if (message->contains("ok") && (*message)["id"] == id) {
            return *message;
        }
        messages.push_back(*message);
    }
    throw std::runtime_error("no answer to " + id.dump() + "; stderr: " + standardError());
}

void ShellProcess::closeInput() {
    ::close(input_);
    input_ = -1;
}

void ShellProcess::signal(int number) {
    ::kill(pid_, number);
}

int ShellProcess::wait(std::chrono::milliseconds timeout) {
    if (status_) {
        return *status_;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return *status_;
}

std::string ShellProcess::standardError() const {
    std::ifstream file(errorFile_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

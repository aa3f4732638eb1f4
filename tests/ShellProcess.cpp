#include "ShellProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "Eventually.h"
#include "FileContents.h"
#include "Platform/Posix/Pipe.h"
#include "Platform/Posix/WriteAll.h"

using Clock = std::chrono::steady_clock;

ShellProcess::ShellProcess(std::vector<std::string> arguments, std::string sessionBus,
                           std::string binary) {
    char pattern[] = "/tmp/musicshell-stderr-XXXXXX";
    FileDescriptor errors(::mkostemp(pattern, O_CLOEXEC));
    errorFile_ = pattern;
    auto toChild = posix::Pipe::open();
    auto fromChild = posix::Pipe::open();
    if (!errors.valid() || !toChild || !fromChild) {
        throw std::runtime_error("cannot start " + binary);
    }
    arguments.insert(arguments.begin(), binary);
    std::vector<char*> argv;
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(toChild->read.get(), 0);
        ::dup2(fromChild->write.get(), 1);
        ::dup2(errors.get(), 2);
        ::signal(SIGPIPE, SIG_DFL);  // as a shell started by anyone else has it
        ::setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.c_str(), 1);
        ::execv(binary.c_str(), argv.data());
        ::_exit(127);
    }
    input_ = std::move(toChild->write);
    output_ = std::move(fromChild->read);
}

ShellProcess::~ShellProcess() {
    if (!status_) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    ::unlink(errorFile_.c_str());
}

void ShellProcess::send(const std::string& line) {
    // A shell that died fails the write (EPIPE) and so the test, not the whole test program.
    // Set again each time, as a test may have put the default back.
    ::signal(SIGPIPE, SIG_IGN);
    if (posix::writeAll(input_.get(), line + "\n") != 0) {
        throw std::runtime_error("the shell stopped reading; stderr: " + standardError());
    }
}

std::optional<std::string> ShellProcess::readLine(Clock::time_point deadline) {
    for (;;) {
        if (std::size_t end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd ready{output_.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[1 << 16];
        ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
        if (got <= 0) {
            return std::nullopt;
        }
        pending_.append(buffer, static_cast<std::size_t>(got));
    }
}

std::optional<std::string> ShellProcess::nextLine(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (auto line = readLine(deadline)) {
        if (line->starts_with("{")) {
            return line;
        }
        otherLines.push_back(*line);
    }
    return std::nullopt;
}

std::optional<Json> ShellProcess::next(std::chrono::milliseconds timeout) {
    auto line = nextLine(timeout);
    return line ? std::optional(Json::parse(*line)) : std::nullopt;
}

std::optional<Json> ShellProcess::nextAnswer(const std::optional<Json>& id) {
    auto message = next();
    for (; message && (!message->contains("ok") || (id && (*message)["id"] != *id));
         message = next()) {
        messages.push_back(*message);
    }
    return message;
}

std::string ShellProcess::firstOtherLine() {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (otherLines.empty()) {
        auto line = readLine(deadline);
        if (!line) {
            return "";
        }
        line->starts_with("{") ? messages.push_back(Json::parse(*line))
                               : otherLines.push_back(*line);
    }
    return otherLines.front();
}

Json ShellProcess::call(const Json& request) {
    sendJson(request);
    Json id = request.value("id", Json());
    if (auto answer = nextAnswer(id)) {
        return *answer;
    }
    throw std::runtime_error("no answer to " + id.dump() + "; stderr: " + standardError());
}

void ShellProcess::closeInput() {
    input_ = FileDescriptor();
}

void ShellProcess::signal(int number) {
    ::kill(pid_, number);
}

int ShellProcess::wait(std::chrono::milliseconds timeout) {
    if (!status_) {
        int status = 0;
        if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) != 0; }, timeout)) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return *status_;
}

std::string ShellProcess::standardError() const {
    return readWhole(errorFile_);
}

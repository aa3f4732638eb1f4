#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Platform/Posix/FileDescriptor.h"

using Json = nlohmann::json;

// The built musicshell binary, driven over its stdio protocol like a client would; or another
// program the tests start for themselves (a display, a bus), given by its path.
class ShellProcess {
public:
    // Runs `musicshell ARGS...`, with standard error kept in a file of its own. It sees no
    // session bus unless `sessionBus` names one.
    explicit ShellProcess(std::vector<std::string> arguments,
                          std::string sessionBus = "unix:path=/nonexistent",
                          std::string binary = MUSICSHELL_BINARY);
    ~ShellProcess();
    ShellProcess(const ShellProcess&) = delete;
    ShellProcess& operator=(const ShellProcess&) = delete;

    void send(const std::string& line);
    void sendJson(const Json& request) { send(request.dump()); }
    // The next message line (one that begins with "{") as the shell wrote it, or nothing at end
    // of output or timeout. Other lines go to `otherLines`.
    std::optional<std::string> nextLine(
        std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::optional<Json> next(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // The next answer (to `id`, if given); the messages before it go to `messages`.
    std::optional<Json> nextAnswer(const std::optional<Json>& id = std::nullopt);
    // The first line that is no message (a served address, a display's number), or "" if none
    // comes in time; messages before it go to `messages`.
    std::string firstOtherLine();
    // Sends the request and gives its answer; messages before it go to `messages`.
    Json call(const Json& request);
    static Json request(const Json& id, const std::string& plugin, const std::string& method,
                        Json options = Json::object()) {
        return {
            {"id", id}, {"plugin", plugin}, {"method", method}, {"options", std::move(options)}};
    }
    Json plugin(const std::string& plugin, const std::string& method,
                Json options = Json::object()) {
        return call(request(1, plugin, method, std::move(options)));
    }
    Json store(const std::string& method, Json options = Json::object()) {
        return plugin("OfflineStoragePlugin", method, std::move(options));
    }

    void closeInput();
    void signal(int number);
    // Waits for the process to end and gives its exit status (-1 when a signal killed it).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    std::string standardError() const;

    std::vector<Json> messages;
    std::vector<std::string> otherLines;

private:
    std::optional<std::string> readLine(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    FileDescriptor input_;
    FileDescriptor output_;
    std::string errorFile_;
    std::string pending_;
    std::optional<int> status_;
};

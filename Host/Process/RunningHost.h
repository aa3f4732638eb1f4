#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Host/Core/AssembledApplication.h"
#include "Host/Core/HostConfiguration.h"
#include "Host/Core/PlatformWiring.h"
#include "Host/Process/ContainerLock.h"
#include "Host/Stdio/StdioHost.h"
#include "Host/Web/WebServer.h"

namespace host {

// One run of the application, whatever shows it (a window, a browser, standard input): the parts
// the host starts, in the order they must start, and the one order in which they stop. The
// media controls are on the bus before the application launches, and so before any address is
// printed; they go last, since until then a plugin call or an artwork completion may still
// publish. Not thread-safe: called on the thread that owns the main loop.
class RunningHost {
public:
    // What a window adds: what the media widget may do to it, and how its own loop is told that
    // the main queue has work (called once the queue exists, before anything is posted to it).
    struct Window {
        PlatformWiring::WindowControls controls;
        std::function<void(SerialQueue& mainQueue)> adoptMainQueue;
    };

    // Claims the container, installs the platform services and assembles the application on
    // them. Gives nothing, after a log line, when any of it fails.
    static std::unique_ptr<RunningHost> start(const HostConfiguration& configuration,
                                              std::string_view delegateClassName,
                                              std::optional<Window> window = std::nullopt);
    ~RunningHost();
    RunningHost(const RunningHost&) = delete;
    RunningHost& operator=(const RunningHost&) = delete;

    SerialQueue& mainQueue() const { return platform_->mainQueue(); }
    const PlatformWiring& platform() const { return *platform_; }
    AssembledApplication& application() const { return *application_; }

    // Serves the application's files (and, for a browser, its bridge) on loopback, and lets the
    // URL session fetch what pages name by that server's address. Gives nothing, after a log
    // line that begins with `failure`, when the port cannot be had.
    WebServer* serve(WebServer::Options options, std::string_view failure);
    // Makes standard input a transport: its events are heard from now on, its requests read
    // once `readStandardInput` is called. `quit` is called from the reader thread.
    void listenOnStandardInput(bool quitAtEndOfInput, std::function<void()> quit);
    void readStandardInput();
    // The window's view, which hears the bridge's events; released after the bridge stops.
    void showIn(std::shared_ptr<EventSink> view);

    // Quitting abandons whatever is in flight: nothing more is written, transfers stop and
    // their temporary files go. Safe to call again.
    void stop();

private:
    RunningHost(ContainerLock lock, std::unique_ptr<PlatformWiring> platform,
                std::size_t maxRequestBytes);

    std::optional<ContainerLock> lock_;
    std::unique_ptr<PlatformWiring> platform_;
    std::unique_ptr<AssembledApplication> application_;
    std::shared_ptr<StdioHost> stdio_;
    std::unique_ptr<WebServer> web_;
    std::shared_ptr<EventSink> view_;
    std::size_t maxRequestBytes_;
};

}  // namespace host

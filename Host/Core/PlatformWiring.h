#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Host/Core/HostConfiguration.h"
#include "Platform/LinkOpener.h"
#include "Platform/SerialQueue.h"
#include "Platform/Services.h"

class CommandFileOpener;
class CurlURLSession;
class MprisService;
class StandardOutputConsole;

namespace host {

// The Linux desktop's services for one run: the container on the local disk, libcurl, the
// opener command, standard output, the main loop, and the media controls on the session bus
// when there is one. The only part of the host that knows the desktop implementations.
class PlatformWiring {
public:
    // What the media widget may do to the application's window, when it has one: bring it to
    // the front, and end the application. Called on the media controls' thread.
    struct WindowControls {
        std::function<void()> raise;
        std::function<void()> quit;
    };

    // Makes the container's folders, clears what a killed run left in them and makes the
    // services; gives nothing, after a log line, when the container cannot be made.
    static std::unique_ptr<PlatformWiring> install(
        const HostConfiguration& configuration,
        std::optional<WindowControls> windowControls = std::nullopt);

    PlatformWiring(const PlatformWiring&) = delete;
    PlatformWiring& operator=(const PlatformWiring&) = delete;
    // Stops the media controls: last, since until then a publication may still reach them.
    ~PlatformWiring();

    const platform::Services& services() const { return services_; }
    SerialQueue& mainQueue() const { return *mainQueue_; }
    // Opens the links a window does not follow itself.
    const std::shared_ptr<platform::LinkOpener>& linkOpener() const { return linkOpener_; }

    // Writes nothing more on standard output, so a quitting host prints no half-answered work.
    void closeConsole();
    // Lets the URL session fetch from the shell's own web server: see CurlURLSession.
    void allowOrigin(std::string origin, std::string cookie);
    // Abandons transfers, removing their temporary files, and stops waiting for opener commands.
    void stopTransfers();

private:
    PlatformWiring() = default;

    platform::Services services_;
    std::shared_ptr<SerialQueue> mainQueue_;
    std::shared_ptr<StandardOutputConsole> console_;
    std::shared_ptr<CurlURLSession> urlSession_;
    std::shared_ptr<CommandFileOpener> fileOpener_;
    std::shared_ptr<platform::LinkOpener> linkOpener_;
    std::unique_ptr<MprisService> mediaControls_;
};

}  // namespace host

#include "Host/ApplicationHost.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "Host/BrowserLauncher.h"
#include "Host/ContainerLock.h"
#include "Host/DesktopPlatform.h"
#include "Host/HostedApplication.h"
#include "Host/SignalWatcher.h"
#include "Host/StdioHost.h"
#include "Host/WebServer.h"
#include "Host/WindowBinary.h"
#include "Platform/Log.h"

namespace {
// A standard stream the process was started without would be the next descriptor opened, the
// lock file's say: requests would be read from it and answers or the log written into it. The
// lowest free descriptor is the one that is taken, so filling them in order fills each in place.
// They stay open across exec, as standard streams must.
void fillClosedStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int opened = ::open("/dev/null", O_RDWR);
            if (opened > 2) {
                ::close(opened);
            }
        }
    }
}
}  // namespace

int platform::applicationMain(int argc, char** argv, std::string_view delegateClassName) {
    fillClosedStandardStreams();
    int exitStatus = 0;
    auto configuration = host::parseCommandLine(argc, argv, exitStatus);
    if (!configuration) {
        return exitStatus;
    }
    return host::ApplicationHost(std::move(*configuration), delegateClassName).run(argc, argv);
}

namespace host {

ApplicationHost::ApplicationHost(HostConfiguration configuration,
                                 std::string_view delegateClassName)
    : configuration_(std::move(configuration)), delegateClassName_(delegateClassName) {}

namespace {
ApplicationHost::WindowOpener& windowOpener() {
    static ApplicationHost::WindowOpener opener = &openWindowInItsOwnBinary;
    return opener;
}
}  // namespace

void ApplicationHost::openWindowsWith(WindowOpener opener) {
    windowOpener() = opener;
}

int ApplicationHost::run(int argc, char** argv) {
    if (configuration_.transport != HostConfiguration::Transport::stdio &&
        !std::filesystem::is_directory(configuration_.appDirectory)) {
        platform::log("no web application at " + configuration_.appDirectory.string() +
                      ": --app must name its folder");
        return 1;
    }
    if (configuration_.transport == HostConfiguration::Transport::window) {
        if (auto status = windowOpener()(configuration_, delegateClassName_, argc, argv)) {
            return *status;
        }
        configuration_.transport = HostConfiguration::Transport::serve;
    }
    SignalWatcher::blockSignals();
    auto lock = ContainerLock::acquire(configuration_.container);
    if (!lock) {
        return 1;
    }
    return runWithoutWindow();
}

int ApplicationHost::runWithoutWindow() {
    int exitStatus = 0;
    auto desktop = DesktopPlatform::install(configuration_);
    if (!desktop) {
        return 1;
    }
    auto& mainQueue = desktop->mainQueue();
    auto& console = *desktop->services().console;
    const auto& fileSystem = desktop->services().fileSystem;
    auto application = HostedApplication::assemble(desktop->services(), mainQueue,
                                                   delegateClassName_, configuration_);
    if (!application) {
        return 1;
    }
    const auto& bridge = application->bridge();
    auto quit = [&mainQueue] { mainQueue.stop(); };
    std::shared_ptr<StdioHost> stdio;
    std::unique_ptr<WebServer> web;
    std::unique_ptr<BrowserLauncher> launcher;
    SignalWatcher signals(quit);

    mainQueue.async([&] {
        application->launch();
        // Standard input carries requests in both modes; serving, its end does not stop the
        // server, and it lets a terminal or a test stand in for the operating system.
        bool serving = configuration_.transport == HostConfiguration::Transport::serve;
        stdio = std::make_shared<StdioHost>(
            bridge, application->hostRequests(), console, quit,
            StdioHost::Options{0, configuration_.maxRequestBytes, std::chrono::seconds(30),
                               !serving, fileSystem.get()});
        bridge->addEventSink(stdio);
        if (!serving) {
            stdio->start();
            return;
        }
        try {
            web = std::make_unique<WebServer>(
                bridge,
                WebServer::Options{
                    configuration_.appDirectory, configuration_.clientDirectory,
                    configuration_.container, configuration_.port, configuration_.maxRequestBytes,
                    configuration_.maxConnections,
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(configuration_.headerTimeoutSeconds))});
        } catch (const std::exception& error) {
            platform::log(std::string("cannot serve: ") + error.what());
            exitStatus = 1;
            quit();
            return;
        }
        // Artwork and songs the pages name by their own server's address, the shell fetches too.
        desktop->allowOrigin(web->origin(), web->sessionCookie());
        console.printLine(web->newAddress());
        if (configuration_.openBrowser) {
            launcher = std::make_unique<BrowserLauncher>(
                desktop->services().fileSystem->directory(platform::Directory::temporary),
                web->port());
            launcher->open(web->newAddress());
        }
        stdio->start();
    });
    mainQueue.run();

    // Quitting abandons whatever is in flight: nothing more is written, transfers stop and
    // their temporary files go.
    desktop->closeConsole();
    if (stdio) {
        stdio->stop();
    }
    if (web) {
        web->stop();
    }
    desktop->stopTransfers();
    bridge->stop();
    // Last: until now a plugin call or an artwork completion could still publish, and the
    // media controls observe every publication.
    desktop.reset();
    return exitStatus;
}

}  // namespace host

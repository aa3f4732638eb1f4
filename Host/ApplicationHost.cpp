#include "Host/ApplicationHost.h"

#include <spawn.h>
#include <sys/wait.h>

#include "Host/DesktopPlatform.h"
#include "Host/HostedApplication.h"
#include "Host/SignalWatcher.h"
#include "Host/StdioHost.h"
#include "Host/WebServer.h"
#include "Platform/Log.h"

extern char** environ;

int platform::applicationMain(int argc, char** argv, std::string_view delegateClassName) {
    int exitStatus = 0;
    auto configuration = host::parseCommandLine(argc, argv, exitStatus);
    if (!configuration) {
        return exitStatus;
    }
    return host::ApplicationHost(std::move(*configuration), delegateClassName).run();
}

namespace host {

ApplicationHost::ApplicationHost(HostConfiguration configuration,
                                 std::string_view delegateClassName)
    : configuration_(std::move(configuration)), delegateClassName_(delegateClassName) {}

namespace {
// Starts the desktop's browser on the address, when the desktop has a way to.
void openInBrowser(const std::string& address) {
    std::string opener = "xdg-open";
    std::string url = address;
    char* arguments[] = {opener.data(), url.data(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, opener.c_str(), nullptr, nullptr, arguments, environ) != 0) {
        platform::log("no xdg-open here: open the address by hand");
        return;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
}
}  // namespace

int ApplicationHost::run() {
    SignalWatcher::blockSignals();
    int exitStatus = 0;
    auto desktop = DesktopPlatform::install(configuration_);
    if (!desktop) {
        return 1;
    }
    auto& mainQueue = desktop->mainQueue();
    auto& console = *desktop->services().console;
    auto application = HostedApplication::assemble(desktop->services(), mainQueue,
                                                   delegateClassName_, configuration_);
    if (!application) {
        return 1;
    }
    const auto& bridge = application->bridge();
    auto quit = [&mainQueue] { mainQueue.stop(); };
    std::shared_ptr<StdioHost> stdio;
    std::unique_ptr<WebServer> web;
    SignalWatcher signals(quit);

    mainQueue.async([&] {
        application->launch();
        // Standard input carries requests in both modes; serving, its end does not stop the
        // server, and it lets a terminal or a test stand in for the operating system.
        bool serving = configuration_.transport == HostConfiguration::Transport::serve;
        stdio = std::make_shared<StdioHost>(bridge, application->hostRequests(), console, quit,
                                            StdioHost::Options{0, configuration_.maxRequestBytes,
                                                               std::chrono::seconds(30), !serving});
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
                    configuration_.port, configuration_.maxRequestBytes,
                    configuration_.maxConnections,
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(configuration_.headerTimeoutSeconds))});
        } catch (const std::exception& error) {
            platform::log(std::string("cannot serve: ") + error.what());
            exitStatus = 1;
            quit();
            return;
        }
        console.printLine(web->address());
        if (configuration_.openBrowser) {
            openInBrowser(web->address());
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

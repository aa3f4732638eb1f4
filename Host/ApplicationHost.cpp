#include "Host/ApplicationHost.h"

#include <spawn.h>
#include <sys/wait.h>

#include "App/Bridge/ApplicationDelegateProxy.h"
#include "Host/Bridge.h"
#include "Host/HostRequests.h"
#include "Host/RuntimeClassTable.h"
#include "Host/SignalWatcher.h"
#include "Host/StdioHost.h"
#include "Host/WebServer.h"
#include "Platform/Desktop/CommandFileOpener.h"
#include "Platform/Desktop/CurlURLSession.h"
#include "Platform/Desktop/DesktopAudioSession.h"
#include "Platform/Desktop/DesktopFileSystem.h"
#include "Platform/Desktop/DesktopNowPlayingInfoCenter.h"
#include "Platform/Desktop/DesktopRemoteCommandCenter.h"
#include "Platform/Desktop/MprisService.h"
#include "Platform/Desktop/SerialQueue.h"
#include "Platform/Desktop/StandardOutputConsole.h"
#include "Platform/Desktop/StbImageDecoder.h"
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

// Makes the container's folders and clears what a killed run left in them; nothing when the
// container cannot be made.
std::shared_ptr<DesktopFileSystem> installContainer(const std::filesystem::path& root) {
    if (auto error = DesktopFileSystem::install(root)) {
        platform::log("cannot make the container: " + error->description);
        return nullptr;
    }
    auto files = std::make_shared<DesktopFileSystem>(root);
    CurlURLSession::removeStaleTemporaryFiles(files->directory(platform::Directory::temporary));
    // Where the application replaces files atomically, a killed write may have left its scratch.
    auto support = files->directory(platform::Directory::applicationSupport);
    for (const auto& folder : {support, support / "offline",
                               files->directory(platform::Directory::documents) / "Downloads",
                               files->directory(platform::Directory::caches)}) {
        DesktopFileSystem::removeStaleWrites(folder);
    }
    return files;
}

// The desktop's media controls, when there is a session bus to offer them on.
std::unique_ptr<MprisService> startMediaControls(
    const std::shared_ptr<DesktopRemoteCommandCenter>& commands,
    const std::shared_ptr<DesktopNowPlayingInfoCenter>& nowPlaying,
    const std::shared_ptr<DesktopFileSystem>& files) {
    try {
        auto service = std::make_unique<MprisService>(
            commands, nowPlaying, files, files->directory(platform::Directory::caches) / "artwork");
        platform::log("media controls on the session bus as " + service->busName());
        return service;
    } catch (const std::exception& error) {
        platform::log(std::string("no media controls: no session bus (") + error.what() + ")");
        return nullptr;
    }
}
}  // namespace

int ApplicationHost::run() {
    SignalWatcher::blockSignals();
    int exitStatus = 0;
    auto fileSystem = installContainer(configuration_.container);
    if (!fileSystem) {
        return 1;
    }
    auto temporary = fileSystem->directory(platform::Directory::temporary);

    auto console = std::make_shared<StandardOutputConsole>();
    auto commandCenter = std::make_shared<DesktopRemoteCommandCenter>();
    auto nowPlaying = std::make_shared<DesktopNowPlayingInfoCenter>();
    auto mainQueue = std::make_shared<SerialQueue>();
    auto urlSession = std::make_shared<CurlURLSession>(temporary);
    auto fileOpener = std::make_shared<CommandFileOpener>(configuration_.opener, mainQueue);
    platform::Services services{std::make_shared<DesktopAudioSession>(),
                                commandCenter,
                                nowPlaying,
                                urlSession,
                                std::make_shared<StbImageDecoder>(),
                                fileSystem,
                                fileOpener,
                                mainQueue,
                                console};
    platform::Services::installShared(services);
    auto mediaControls = startMediaControls(commandCenter, nowPlaying, fileSystem);

    RuntimeClassTable classes;
    const auto* delegateClass = classes.delegateClass(delegateClassName_);
    const auto* rootClass = classes.viewControllerClass(configuration_.rootViewController);
    if (delegateClass == nullptr || rootClass == nullptr) {
        platform::log("the application's delegate or root view controller class is missing");
        return 1;
    }
    platform::Application application;
    auto delegate = delegateClass->make()();
    auto window = std::make_shared<platform::Window>();
    window->rootViewController = rootClass->make()(platform::Coder{"root"});
    delegate->setWindow(window);

    auto bridge = std::make_shared<Bridge>(classes, services, configuration_.plugins);
    ApplicationDelegateProxy::shared().setBridge(bridge);
    if (auto* bridgeView =
            dynamic_cast<CAPBridgeViewController*>(window->rootViewController.get())) {
        bridgeView->setWebViewHost(bridge);
    }

    HostRequests hostRequests(services, *mainQueue, application, delegate);
    auto quit = [mainQueue] { mainQueue->stop(); };
    std::shared_ptr<StdioHost> stdio;
    std::unique_ptr<WebServer> web;
    SignalWatcher signals(quit);

    mainQueue->async([&] {
        delegate->didFinishLaunching(application, std::nullopt);
        window->rootViewController->viewDidLoad();
        // Standard input carries requests in both modes; serving, its end does not stop the
        // server, and it lets a terminal or a test stand in for the operating system.
        bool serving = configuration_.transport == HostConfiguration::Transport::serve;
        stdio = std::make_shared<StdioHost>(bridge, hostRequests, *console, quit,
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
                WebServer::Options{configuration_.appDirectory, configuration_.clientDirectory,
                                   configuration_.port, configuration_.maxRequestBytes});
        } catch (const std::exception& error) {
            platform::log(std::string("cannot serve: ") + error.what());
            exitStatus = 1;
            quit();
            return;
        }
        console->printLine(web->address());
        if (configuration_.openBrowser) {
            openInBrowser(web->address());
        }
        stdio->start();
    });
    mainQueue->run();

    // Quitting abandons whatever is in flight: nothing more is written, transfers stop and
    // their temporary files go.
    console->close();
    if (stdio) {
        stdio->stop();
    }
    if (web) {
        web->stop();
    }
    urlSession->stop();
    fileOpener->stop();
    bridge->stop();
    // Last: until now a plugin call or an artwork completion could still publish, and the
    // media controls observe every publication.
    mediaControls.reset();
    return exitStatus;
}

}  // namespace host

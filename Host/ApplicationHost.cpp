#include "Host/ApplicationHost.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Host/Process/BrowserLauncher.h"
#include "Host/Process/PackageBundle.h"
#include "Host/Process/RunningHost.h"
#include "Host/Process/SignalWatcher.h"
#include "Host/Process/WindowBinary.h"
#include "Host/Web/LoginSocket.h"
#include "Platform/Log.h"
#include "Platform/Posix/FileDescriptor.h"

namespace {
// A standard stream the process was started without would be the next descriptor opened, the
// lock file's say: requests would be read from it and answers or the log written into it. The
// lowest free descriptor is the one that is taken, so filling them in order fills each in place.
// They stay open across exec, as standard streams must.
void fillClosedStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            FileDescriptor opened(::open("/dev/null", O_RDWR));
            if (opened.get() <= 2) {
                opened.release();  // a standard stream from now on
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
    platform::setLogName(configuration->programName());
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
    if (configuration_.transport == HostConfiguration::Transport::login) {
        return logIn();
    }
    if (configuration_.transport != HostConfiguration::Transport::stdio &&
        !std::filesystem::is_directory(configuration_.appDirectory)) {
        platform::log("no web application at " + configuration_.appDirectory.string() +
                      ": --app must name its folder");
        return 1;
    }
    if (configuration_.transport == HostConfiguration::Transport::bundle) {
        return bundleApplication(configuration_);
    }
    if (configuration_.transport == HostConfiguration::Transport::window) {
        if (auto status = windowOpener()(configuration_, delegateClassName_, argc, argv)) {
            return *status;
        }
        configuration_.transport = HostConfiguration::Transport::serve;
    }
    SignalWatcher::blockSignals();
    return runWithoutWindow();
}

int ApplicationHost::runWithoutWindow() {
    auto host = RunningHost::start(configuration_, delegateClassName_);
    if (!host) {
        return 1;
    }
    auto& mainQueue = host->mainQueue();
    auto quit = [&mainQueue] { mainQueue.stop(); };
    int exitStatus = 0;
    std::unique_ptr<BrowserLauncher> launcher;
    SignalWatcher signals(quit);

    mainQueue.async([&] {
        host->application().launch();
        // Standard input carries requests in both modes; serving, its end does not stop the
        // server, and it lets a terminal or a test stand in for the operating system.
        bool serving = configuration_.transport == HostConfiguration::Transport::serve;
        host->listenOnStandardInput(!serving, quit);
        if (serving) {
            auto* web = host->serve(
                WebServer::Options{
                    configuration_.appDirectory, configuration_.clientDirectory,
                    configuration_.container, configuration_.port, configuration_.maxRequestBytes,
                    configuration_.maxConnections,
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(configuration_.headerTimeoutSeconds)),
                    true, configuration_.programName(), configuration_.devUrl()},
                "cannot serve");
            if (web == nullptr) {
                exitStatus = 1;
                quit();
                return;
            }
            host->platform().services().console->printLine(web->newAddress());
            if (configuration_.openBrowser) {
                launcher = std::make_unique<BrowserLauncher>(
                    host->platform().services().fileSystem->directory(
                        platform::Directory::temporary),
                    web->port());
                launcher->open(web->newAddress());
            }
        }
        host->readStandardInput();
    });
    mainQueue.run();
    host->stop();
    return exitStatus;
}

int ApplicationHost::logIn() const {
    auto address = LoginSocket::ask(configuration_.container);
    if (!address) {
        return 1;
    }
    if (configuration_.openBrowser) {
        // "http://127.0.0.1:PORT/?token=…": the page that opens the browser is named by the port.
        auto port =
            static_cast<unsigned short>(std::atoi(address->c_str() + address->rfind(':') + 1));
        BrowserLauncher launcher(configuration_.container / "tmp", port);
        // The browser may read the page after this process is gone; the page is the user's
        // alone, and logs in once.
        launcher.keepPage();
        if (launcher.open(*address)) {
            return 0;
        }
    }
    std::puts(address->c_str());
    return 0;
}

}  // namespace host

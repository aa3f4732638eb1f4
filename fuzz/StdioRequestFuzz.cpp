// Request lines, as a client may send anything: each input is a stretch of standard input for an
// in-process host with the real plugins, a container in a temporary folder and fake services.
// Nothing may crash, and every line must be answered (a download answers later or is dropped
// with an answer when the host stops).
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "App/AppDelegate.h"
#include "App/Bridge/ApplicationDelegateProxy.h"
#include "Fakes/FakeServices.h"
#include "Host/Bridge.h"
#include "Host/HostConfiguration.h"
#include "Host/HostRequests.h"
#include "Host/RuntimeClassTable.h"
#include "Host/StdioHost.h"
#include "Platform/Desktop/CommandFileOpener.h"
#include "Platform/Desktop/DesktopFileSystem.h"
#include "Platform/Desktop/SerialQueue.h"

using host::Bridge;
using host::HostConfiguration;
using host::HostRequests;
using host::RuntimeClassTable;
using host::StdioHost;

namespace {

// Every transfer fails at once: the fuzzer reaches no network.
class OfflineURLSession : public FakeURLSession {
public:
    void dataTask(std::string, std::function<void(platform::DataTaskResult)> completion) override {
        completion({std::nullopt, 0, platform::Error{"offline"}});
    }
};

class NullConsole : public platform::Console {
public:
    using platform::Console::printLine;
    void printLine(std::span<const std::string_view>) override {}
};

struct Host {
    Host() {
        char pattern[] = "/tmp/musicshell-fuzz-XXXXXX";
        std::filesystem::path root = ::mkdtemp(pattern);
        DesktopFileSystem::install(root);
        services = fakes.services();
        services.fileSystem = std::make_shared<DesktopFileSystem>(root);
        services.urlSession = std::make_shared<OfflineURLSession>();
        services.mainQueue = mainQueue;
        services.fileOpener = std::make_shared<CommandFileOpener>(std::nullopt, mainQueue);
        services.console = console;
        platform::Services::installShared(services);
        mainThread = std::thread([this] { mainQueue->run(); });
        delegate = classes.delegateClass("musicshell.AppDelegate")->make()();
        auto window = std::make_shared<platform::Window>();
        window->rootViewController = classes.viewControllerClass("musicshell.MainViewController")
                                         ->make()(platform::Coder{"root"});
        delegate->setWindow(window);
        bridge = std::make_shared<Bridge>(classes, services, HostConfiguration().plugins);
        ApplicationDelegateProxy::shared().setBridge(bridge);
        dynamic_cast<CAPBridgeViewController&>(*window->rootViewController).setWebViewHost(bridge);
        mainQueue->sync([&] { window->rootViewController->viewDidLoad(); });
        requests = std::make_unique<HostRequests>(services, *mainQueue, application, delegate);
    }

    void feed(const std::uint8_t* data, std::size_t size) {
        int fd = ::memfd_create("requests", 0);
        for (std::size_t done = 0; done < size;) {
            ssize_t written = ::write(fd, data + done, size - done);
            if (written <= 0) {
                std::abort();
            }
            done += static_cast<std::size_t>(written);
        }
        ::lseek(fd, 0, SEEK_SET);
        std::atomic<bool> quit{false};
        StdioHost::Options options{fd, 1 << 20, std::chrono::milliseconds(0)};
        auto stdio = std::make_shared<StdioHost>(
            bridge, *requests, *console, [&] { quit = true; }, options);
        bridge->addEventSink(stdio);
        stdio->start();
        while (!quit) {
            std::this_thread::yield();
        }
        stdio->stop();
        ::close(fd);
    }

    FakeServices fakes;
    std::shared_ptr<SerialQueue> mainQueue = std::make_shared<SerialQueue>();
    std::shared_ptr<NullConsole> console = std::make_shared<NullConsole>();
    platform::Services services;
    std::thread mainThread;
    RuntimeClassTable classes;
    platform::Application application;
    std::shared_ptr<platform::ApplicationDelegate> delegate;
    std::shared_ptr<Bridge> bridge;
    std::unique_ptr<HostRequests> requests;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Made once and kept for the process, as the host is.
    static Host* host = new Host();
    host->feed(data, size);
    return 0;
}

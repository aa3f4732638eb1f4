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
#include "Fakes/FakeServices.h"
#include "Host/Core/AssembledApplication.h"
#include "Host/Core/HostConfiguration.h"
#include "Host/Stdio/StdioHost.h"
#include "Platform/Desktop/CommandFileOpener.h"
#include "Platform/Desktop/DesktopFileSystem.h"
#include "Platform/SerialQueue.h"

using host::AssembledApplication;
using host::HostConfiguration;
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
    // Lines are still made, streamed answers included, so their making is fuzzed too.
    void printLineInParts(const std::function<void(const Pieces&)>& make) override {
        make([](std::span<const std::string_view>) {});
    }
};

struct Host {
    Host() {
        char pattern[] = "/tmp/musicshell-fuzz-XXXXXX";
        std::filesystem::path root = ::mkdtemp(pattern);
        static_cast<void>(DesktopFileSystem::install(root));
        services = fakes.services();
        services.fileSystem = std::make_shared<DesktopFileSystem>(root);
        services.urlSession = std::make_shared<OfflineURLSession>();
        services.mainQueue = mainQueue;
        services.fileOpener = std::make_shared<CommandFileOpener>(std::nullopt, mainQueue);
        services.console = console;
        mainThread = std::thread([this] { mainQueue->run(); });
        application = AssembledApplication::assemble(
            services, *mainQueue, AppDelegate::runtimeClass.name(), HostConfiguration());
        mainQueue->sync([&] { application->launch(); });
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
            application->bridge(), application->hostRequests(), *console, [&] { quit = true; },
            options);
        application->bridge()->addEventSink(stdio);
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
    std::unique_ptr<AssembledApplication> application;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Made once and kept for the process, as the host is.
    static Host* host = new Host();
    host->feed(data, size);
    return 0;
}

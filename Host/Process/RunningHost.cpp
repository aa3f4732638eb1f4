#include "Host/Process/RunningHost.h"

#include "Platform/Log.h"

namespace host {

RunningHost::RunningHost(ContainerLock lock, std::unique_ptr<PlatformWiring> platform,
                         std::size_t maxRequestBytes)
    : lock_(std::move(lock)), platform_(std::move(platform)), maxRequestBytes_(maxRequestBytes) {}

std::unique_ptr<RunningHost> RunningHost::start(const HostConfiguration& configuration,
                                                std::string_view delegateClassName,
                                                std::optional<Window> window) {
    for (const auto& notice : configuration.notices) {
        platform::log(notice);
    }
    auto lock = ContainerLock::acquire(configuration.container);
    if (!lock) {
        return nullptr;
    }
    std::optional<PlatformWiring::WindowControls> controls;
    if (window) {
        controls = window->controls;
    }
    auto platform = PlatformWiring::install(configuration, std::move(controls));
    if (!platform) {
        return nullptr;
    }
    std::unique_ptr<RunningHost> host(
        new RunningHost(std::move(*lock), std::move(platform), configuration.maxRequestBytes));
    if (window && window->adoptMainQueue) {
        window->adoptMainQueue(host->mainQueue());
    }
    host->application_ = AssembledApplication::assemble(
        host->platform_->services(), host->mainQueue(), delegateClassName, configuration);
    if (!host->application_) {
        return nullptr;
    }
    return host;
}

RunningHost::~RunningHost() {
    stop();
}

WebServer* RunningHost::serve(WebServer::Options options, std::string_view failure) {
    options.staging = platform_->services().fileSystem.get();
    try {
        web_ = std::make_unique<WebServer>(application_->bridge(), std::move(options));
    } catch (const std::exception& error) {
        platform::log(std::string(failure) + ": " + error.what());
        return nullptr;
    }
    platform_->allowOrigin(web_->origin(), web_->sessionCookie());
    return web_.get();
}

void RunningHost::listenOnStandardInput(bool quitAtEndOfInput, std::function<void()> quit) {
    const auto& services = platform_->services();
    stdio_ = std::make_shared<StdioHost>(
        application_->bridge(), application_->hostRequests(), *services.console, std::move(quit),
        StdioHost::Options{0, maxRequestBytes_, std::chrono::seconds(30), quitAtEndOfInput,
                           services.fileSystem.get()});
    application_->bridge()->addEventSink(stdio_);
}

void RunningHost::readStandardInput() {
    stdio_->start();
}

void RunningHost::showIn(std::shared_ptr<EventSink> view) {
    application_->bridge()->addEventSink(view);
    view_ = std::move(view);
}

void RunningHost::stop() {
    if (!platform_) {
        return;
    }
    platform_->mainQueue().stop();
    platform_->closeConsole();
    if (stdio_) {
        stdio_->stop();
    }
    if (web_) {
        web_->stop();
    }
    platform_->stopTransfers();
    if (application_) {
        application_->bridge()->stop();
    }
    view_.reset();
    stdio_.reset();
    web_.reset();
    application_.reset();
    platform_.reset();
    lock_.reset();
}

}  // namespace host

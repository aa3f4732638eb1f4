#include "Host/WindowHost.h"

#include <cstdio>
#include <vector>

#include <gtk/gtk.h>

#include "Host/StoppedReport.h"
#include "Platform/Log.h"

namespace host {

namespace {
// One GApplication identifier per container: the session bus lets one process own it, which is
// how a second launch on the same container finds the first.
std::string applicationId(const std::filesystem::path& container) {
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char byte : container.string()) {
        hash = (hash ^ byte) * 1099511628211ULL;
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    return std::string("io.musicshell.Window.c") + digits;
}

}  // namespace

WindowHost::WindowHost(HostConfiguration configuration, std::string_view delegateClassName)
    : configuration_(std::move(configuration)),
      delegateClassName_(delegateClassName),
      gtkQueue_(std::make_shared<GlibMainQueue>()),
      gtkApplication_(gtk_application_new(applicationId(configuration_.container).c_str(),
                                          G_APPLICATION_HANDLES_COMMAND_LINE)) {}

WindowHost::~WindowHost() {
    g_object_unref(gtkApplication_);
}

std::optional<int> WindowHost::handOver(const HostConfiguration& configuration, int argc,
                                        char** argv) {
    // A plain GApplication under the same identifier: registering starts no GTK.
    GApplication* application = g_application_new(applicationId(configuration.container).c_str(),
                                                  G_APPLICATION_HANDLES_COMMAND_LINE);
    std::optional<int> status;
    if (g_application_register(application, nullptr, nullptr) &&
        g_application_get_is_remote(application)) {
        status = g_application_run(application, argc, argv);
    }
    g_object_unref(application);
    return status;
}

int WindowHost::run(int argc, char** argv) {
    g_signal_connect(
        gtkApplication_, "command-line",
        G_CALLBACK(+[](GApplication*, GApplicationCommandLine* commandLine, gpointer self) -> int {
            return static_cast<WindowHost*>(self)->commandLine(commandLine);
        }),
        this);
    int status = g_application_run(G_APPLICATION(gtkApplication_), argc, argv);

    // Quitting abandons whatever is in flight, as the other hosts do.
    gtkQueue_->stop();
    signals_.reset();
    if (desktop_) {
        desktop_->mainQueue().stop();
        desktop_->closeConsole();
    }
    if (web_) {
        web_->stop();
    }
    if (desktop_) {
        desktop_->stopTransfers();
    }
    if (application_) {
        application_->bridge()->stop();
    }
    window_.reset();
    application_.reset();
    // Last: until now a plugin call could still publish, and the media controls observe every
    // publication.
    desktop_.reset();
    return status;
}

int WindowHost::commandLine(GApplicationCommandLine* commandLine) {
    if (!std::exchange(started_, true)) {
        return start();
    }
    int argc = 0;
    char** argv = g_application_command_line_get_arguments(commandLine, &argc);
    int exitStatus = 0;
    auto configuration = parseCommandLine(argc, argv, exitStatus);
    g_strfreev(argv);
    if (!configuration) {
        return exitStatus;
    }
    if (configuration->url) {
        openURL(*configuration->url);
    }
    if (window_) {
        window_->present();
    }
    return 0;
}

int WindowHost::start() {
    lock_ = ContainerLock::acquire(configuration_.container);
    if (!lock_) {
        return 1;
    }
    auto onGtkThread = [queue = gtkQueue_](std::function<void()> work) {
        return [queue, work] { queue->async(work); };
    };
    desktop_ = DesktopPlatform::install(
        configuration_, DesktopPlatform::WindowControls{onGtkThread([this] {
                                                            if (window_) {
                                                                window_->present();
                                                            }
                                                        }),
                                                        onGtkThread([this] { quit(); })});
    if (!desktop_) {
        return 1;
    }
    auto& mainQueue = desktop_->mainQueue();
    mainQueue.setWakeUp([queue = gtkQueue_, &mainQueue] {
        queue->async([&mainQueue] { mainQueue.runPending(); });
    });
    application_ = HostedApplication::assemble(desktop_->services(), mainQueue, delegateClassName_,
                                               configuration_);
    if (!application_) {
        return 1;
    }
    const auto& bridge = application_->bridge();
    try {
        web_ = std::make_unique<WebServer>(
            bridge,
            WebServer::Options{configuration_.appDirectory, configuration_.clientDirectory,
                               configuration_.container, 0, configuration_.maxRequestBytes});
    } catch (const std::exception& error) {
        platform::log(std::string("cannot serve the window's files: ") + error.what());
        return 1;
    }
    // Artwork and songs the page names by its server's address, the shell fetches too.
    desktop_->allowOrigin(web_->origin(), web_->sessionCookie());
    window_ = std::make_shared<WebViewWindow>(
        gtkApplication_, bridge, gtkQueue_, desktop_->linkOpener(),
        WebViewWindow::Options{web_->origin() + "/", configuration_.maxRequestBytes,
                               configuration_.inspector},
        WebViewWindow::Handlers{[this] {
                                    pageLoaded_ = true;
                                    if (configuration_.url) {
                                        openURL(*configuration_.url);
                                    }
                                },
                                [this] { reportStoppedForPage(*application_->bridge()); }});
    bridge->addEventSink(window_);
    signals_ = std::make_unique<SignalWatcher>(onGtkThread([this] { quit(); }));
    application_->launch();
    window_->load(web_->newAddress());
    window_->present();
    return 0;
}

void WindowHost::openURL(const std::string& url) {
    if (!pageLoaded_) {
        configuration_.url = url;  // handed over once the page is there to hear it
        return;
    }
    application_->openURL(url);
}

void WindowHost::quit() {
    g_application_quit(G_APPLICATION(gtkApplication_));
}

}  // namespace host

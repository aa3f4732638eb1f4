#include "Host/Window/WindowHost.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtk/gtk.h>

#include "Host/Core/StoppedReport.h"
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

// navigator.mediaSession for every page the window shows, from the bridge client's folder.
std::string readPageScript(const std::filesystem::path& clientDirectory) {
    std::ifstream file(clientDirectory / "musicshell-media-session.js", std::ios::binary);
    std::string script((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (script.empty()) {
        platform::log("no media session for the page: " +
                      (clientDirectory / "musicshell-media-session.js").string() + " is missing");
    }
    return script;
}

}  // namespace

WindowHost::WindowHost(HostConfiguration configuration, std::string_view delegateClassName)
    : configuration_(std::move(configuration)),
      delegateClassName_(delegateClassName),
      gtkQueue_(std::make_shared<GlibMainQueue>()),
      gtkApplication_(gtk_application_new(applicationId(configuration_.container).c_str(),
                                          G_APPLICATION_HANDLES_COMMAND_LINE)) {}

WindowHost::~WindowHost() {
    // Before the running host, as ever.
    gtkApplication_.reset();
}

std::optional<int> WindowHost::handOver(const HostConfiguration& configuration, int argc,
                                        char** argv) {
    // A plain GApplication under the same identifier: registering starts no GTK.
    GObjectPtr<GApplication> application(g_application_new(
        applicationId(configuration.container).c_str(), G_APPLICATION_HANDLES_COMMAND_LINE));
    std::optional<int> status;
    if (g_application_register(application.get(), nullptr, nullptr) &&
        g_application_get_is_remote(application.get())) {
        status = g_application_run(application.get(), argc, argv);
    }
    return status;
}

int WindowHost::run(int argc, char** argv) {
    g_signal_connect(
        gtkApplication_.get(), "command-line",
        G_CALLBACK(+[](GApplication*, GApplicationCommandLine* commandLine, gpointer self) -> int {
            return static_cast<WindowHost*>(self)->commandLine(commandLine);
        }),
        this);
    int status = g_application_run(G_APPLICATION(gtkApplication_.get()), argc, argv);

    // GTK's loop has ended: nothing more runs on its thread, then the parts stop in their order.
    gtkQueue_->stop();
    signals_.reset();
    host_.reset();
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
    if (auto view = window_.lock()) {
        view->present();
    }
    return 0;
}

int WindowHost::start() {
    auto onGtkThread = [queue = gtkQueue_](std::function<void()> work) {
        return [queue, work] { queue->async(work); };
    };
    RunningHost::Window window{{onGtkThread([this] {
                                    if (auto view = window_.lock()) {
                                        view->present();
                                    }
                                }),
                                onGtkThread([this] { quit(); })},
                               [queue = gtkQueue_](SerialQueue& mainQueue) {
                                   mainQueue.setWakeUp([queue, &mainQueue] {
                                       queue->async([&mainQueue] { mainQueue.runPending(); });
                                   });
                               }};
    host_ = RunningHost::start(configuration_, delegateClassName_, std::move(window));
    if (!host_) {
        return 1;
    }
    auto* web = host_->serve(
        WebServer::Options{configuration_.appDirectory, configuration_.clientDirectory,
                           configuration_.container, 0, configuration_.maxRequestBytes},
        "cannot serve the window's files");
    if (web == nullptr) {
        return 1;
    }
    auto& application = host_->application();
    auto view = std::make_shared<WebViewWindow>(
        gtkApplication_.get(), application.bridge(), gtkQueue_, host_->platform().linkOpener(),
        WebViewWindow::Options{web->origin() + "/", configuration_.maxRequestBytes,
                               configuration_.inspector,
                               readPageScript(configuration_.clientDirectory)},
        WebViewWindow::Handlers{[this] {
                                    pageLoaded_ = true;
                                    if (configuration_.url) {
                                        openURL(*configuration_.url);
                                    }
                                },
                                [this] { reportStoppedForPage(*host_->application().bridge()); }});
    window_ = view;
    host_->showIn(view);
    signals_ = std::make_unique<SignalWatcher>(onGtkThread([this] { quit(); }));
    application.launch();
    view->load(web->newAddress());
    view->present();
    return 0;
}

void WindowHost::openURL(const std::string& url) {
    if (!pageLoaded_) {
        configuration_.url = url;  // handed over once the page is there to hear it
        return;
    }
    host_->application().openURL(url);
}

void WindowHost::quit() {
    g_application_quit(G_APPLICATION(gtkApplication_.get()));
}

}  // namespace host

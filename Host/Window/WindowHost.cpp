#include "Host/Window/WindowHost.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtk/gtk.h>

#include "Host/Core/StoppedReport.h"
#include "Host/Process/SiblingProgram.h"
#include "Platform/Log.h"

namespace host {

namespace {
// One GApplication identifier per application and container: the session bus lets one process
// own it, which is how a second launch on the same container finds the first.
std::string applicationId(const HostConfiguration& configuration) {
    std::uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char byte : configuration.container.string()) {
        hash = (hash ^ byte) * 1099511628211ULL;
    }
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    std::string id = configuration.manifest ? configuration.manifest->id : "io.musicshell.Window";
    // A bus name holds 255 characters at most; a longer id is left to the hash.
    if (id.size() + 18 > 255) {
        for (unsigned char byte : id) {
            hash = (hash ^ byte) * 1099511628211ULL;
        }
        std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
        id = "io.musicshell.Window";
    }
    return id + ".c" + digits;
}

// Where the size the user leaves an application's window at is kept: with the desktop's state,
// per application.
std::filesystem::path windowSizeFile(const std::string& id) {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) {
        return std::filesystem::path(state) / id / "window-size";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : ".") / ".local/state" / id / "window-size";
}

// The manifest's sizes, then the size the user left the window at.
void sizeWindow(const AppManifest& manifest, WebViewWindow::Options& options) {
    if (const auto& window = manifest.window) {
        options.width = window->width.value_or(options.width);
        options.height = window->height.value_or(options.height);
        options.minWidth = window->minWidth.value_or(options.minWidth);
        options.minHeight = window->minHeight.value_or(options.minHeight);
    }
    options.sizeFile = windowSizeFile(manifest.id);
    std::ifstream file(*options.sizeFile);
    int width = 0;
    int height = 0;
    if (file >> width >> height && width > 0 && height > 0 && width <= 16384 && height <= 16384) {
        options.width = std::max(width, options.minWidth);
        options.height = std::max(height, options.minHeight);
    }
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

// The page's fast road, when the extension its process needs is installed; without it, the page
// calls through script messages.
void openPageChannel(boost::asio::io_context& context, std::shared_ptr<Bridge> bridge,
                     const HostConfiguration& configuration, WebViewWindow::Options& options) {
    auto extension = siblingProgram("web-extensions/musicshell-page-extension.so");
    std::error_code error;
    if (!std::filesystem::is_regular_file(extension, error)) {
        platform::log("window: no page extension at " + extension.string() +
                      "; the page calls the slower way, through script messages");
        return;
    }
    try {
        auto folder = configuration.container / ".musicshell.window";
        options.channel = std::make_shared<PageChannel>(context, folder, std::move(bridge),
                                                        configuration.maxRequestBytes);
        options.channel->accept();
        options.extensions = extension.parent_path();
        options.channelFolder = folder;
    } catch (const std::system_error& failure) {
        platform::log(std::string("window: no page channel (") + failure.what() +
                      "); the page calls the slower way, through script messages");
        options.channel.reset();
    }
}

}  // namespace

WindowHost::WindowHost(HostConfiguration configuration, std::string_view delegateClassName)
    : configuration_(std::move(configuration)),
      delegateClassName_(delegateClassName),
      gtkQueue_(std::make_shared<GlibMainQueue>()),
      gtkApplication_(gtk_application_new(applicationId(configuration_).c_str(),
                                          G_APPLICATION_HANDLES_COMMAND_LINE)) {
    // X11 names the window's class by the program; the desktop matches it to the entry's name.
    g_set_prgname(configuration_.applicationId().c_str());
}

WindowHost::~WindowHost() {
    // Before the running host, as ever.
    gtkApplication_.reset();
}

std::optional<int> WindowHost::handOver(const HostConfiguration& configuration, int argc,
                                        char** argv) {
    // A plain GApplication under the same identifier: registering starts no GTK.
    GObjectPtr<GApplication> application(g_application_new(applicationId(configuration).c_str(),
                                                           G_APPLICATION_HANDLES_COMMAND_LINE));
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
    WebServer::Options files{configuration_.appDirectory, configuration_.clientDirectory,
                             configuration_.container, 0, configuration_.maxRequestBytes};
    files.cookiePrefix = configuration_.programName();
    files.devUrl = configuration_.devUrl();
    auto* web = host_->serve(std::move(files), "cannot serve the window's files");
    if (web == nullptr) {
        return 1;
    }
    auto& application = host_->application();
    WebViewWindow::Options options{web->origin() + "/", configuration_.maxRequestBytes,
                                   configuration_.inspector, configuration_.applicationName()};
    options.desktopEntry = configuration_.applicationId();
    options.pageScript = readPageScript(configuration_.clientDirectory);
    openPageChannel(web->context(), application.bridge(), configuration_, options);
    if (configuration_.manifest) {
        options.icon = configuration_.manifest->icon;
        sizeWindow(*configuration_.manifest, options);
    }
    auto view = std::make_shared<WebViewWindow>(
        gtkApplication_.get(), application.bridge(), gtkQueue_, host_->platform().linkOpener(),
        std::move(options),
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

#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "Host/Core/HostConfiguration.h"
#include "Host/Process/RunningHost.h"
#include "Host/Process/SignalWatcher.h"
#include "Host/Window/GObjectPtr.h"
#include "Host/Window/GlibMainQueue.h"
#include "Host/Window/WebViewWindow.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GApplicationCommandLine GApplicationCommandLine;

namespace host {

// The application in a window of its own, one per container. The first launch on a container
// claims it, sets the application up and shows its window; a later launch hands its command line
// to the first one (over the session bus) and ends: its URL reaches the application as an opened
// URL, and the window comes to the front. Closing the window, the media widget's Quit, SIGINT
// and SIGTERM end the application as "quit" does.
//
// The window's files (and its media, which WebKit's player loads only over http) come from the
// same loopback server as `serve`'s, with its login and its Host and Origin rules; the bridge
// does not: it uses the page channel, a unix socket in the container that the page's own process
// connects to, or the web view's script-message channel where that process has no extension.
class WindowHost {
public:
    WindowHost(HostConfiguration configuration, std::string_view delegateClassName);
    ~WindowHost();
    WindowHost(const WindowHost&) = delete;
    WindowHost& operator=(const WindowHost&) = delete;

    // Without a display: when a window runs on the container in another process, hands it the
    // command line and gives this process's exit status; nothing when none runs.
    static std::optional<int> handOver(const HostConfiguration& configuration, int argc,
                                       char** argv);
    // Gives the process's exit status: the first instance's when it ends, a later one's as soon
    // as the first has taken its command line.
    int run(int argc, char** argv);

private:
    int commandLine(GApplicationCommandLine* commandLine);
    // The first launch: gives its exit status, 0 once the window shows.
    int start();
    // A later launch, or the first one's own URL once the page has loaded.
    void openURL(const std::string& url);
    void quit();

    HostConfiguration configuration_;
    std::string_view delegateClassName_;
    // GTK's thread: the window's own work, and the application's main queue, which it turns.
    std::shared_ptr<GlibMainQueue> gtkQueue_;
    GObjectPtr<GtkApplication> gtkApplication_;
    std::unique_ptr<RunningHost> host_;
    // Owned by the running host, which releases it in its order.
    std::weak_ptr<WebViewWindow> window_;
    std::unique_ptr<SignalWatcher> signals_;
    bool started_ = false;
    bool pageLoaded_ = false;
};

}  // namespace host

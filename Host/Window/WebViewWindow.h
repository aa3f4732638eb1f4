#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Host/Core/Bridge.h"
#include "Host/Core/RequestRouter.h"
#include "Host/Window/PageChannel.h"
#include "Platform/LinkOpener.h"
#include "Platform/MainQueue.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitScriptMessageReply WebKitScriptMessageReply;
typedef struct _JSCValue JSCValue;

namespace host {

// The application's window: a web view that shows only the web application. Its plugin calls
// come through the page channel when the page's process has it, else through the web view's
// script-message channel (no port, no token), each answered through the promise its message
// gave; events go through the page channel while the page is connected to it, else are handed
// to the page's bridge client by the view. Links
// out of the application open in the user's browser, new windows are refused.
//
// Made and used on the main thread, but for `deliverEvent`, which is safe from any thread.
class WebViewWindow : public EventSink, public std::enable_shared_from_this<WebViewWindow> {
public:
    struct Options {
        // Where the application is served; the window goes nowhere else.
        std::string origin;
        std::size_t maxMessageBytes = 0;
        bool inspector = false;
        // The title until the page gives its own, and the icon's file.
        std::string title = "musicshell";
        // The name of the application's desktop entry, by which the desktop shows the window
        // with the entry's icon and name.
        std::string desktopEntry = "musicshell";
        std::optional<std::filesystem::path> icon = std::nullopt;
        int width = 1024;
        int height = 720;
        int minWidth = -1;  // -1: as small as the toolkit allows
        int minHeight = -1;
        // Where the size the user left the window at is kept for the next run; none: nowhere.
        std::optional<std::filesystem::path> sizeFile = std::nullopt;
        // Run in every page before the page's own scripts; empty: none.
        std::string pageScript = {};
        // The page's fast road, where its process loads the extension from `extensions` and
        // connects to the channel in `channelFolder`; none: script messages alone.
        std::shared_ptr<PageChannel> channel = nullptr;
        std::filesystem::path extensions = {};
        std::filesystem::path channelFolder = {};
    };
    struct Handlers {
        // The page finished loading, the first time.
        std::function<void()> firstLoaded;
        // The page that was shown is going away (a reload or a navigation).
        std::function<void()> departed;
    };

    // `mainQueue` runs on GTK's thread; `links` opens what the window does not follow.
    WebViewWindow(GtkApplication* application, std::shared_ptr<Bridge> bridge,
                  std::shared_ptr<platform::MainQueue> mainQueue,
                  std::shared_ptr<platform::LinkOpener> links, Options options, Handlers handlers);
    // Destroys the window if the user has not closed it.
    ~WebViewWindow() override;
    WebViewWindow(const WebViewWindow&) = delete;
    WebViewWindow& operator=(const WebViewWindow&) = delete;

    void load(const std::string& address);
    // Brings the window to the front.
    void present();

    void deliverEvent(std::string_view pluginName, std::string_view eventName,
                      const JSObject& data) override;

private:
    void receive(JSCValue* message, WebKitScriptMessageReply* reply);
    // Whether the web view may go to `uri`; outside links go to the user's browser instead.
    bool allowNavigation(const std::string& uri, bool byUser);
    void loadChanged(int event);
    void post(std::string message);
    void rememberSize() const;

    GtkWindow* window_ = nullptr;
    WebKitWebView* webView_ = nullptr;  // null once the window is gone
    std::shared_ptr<platform::MainQueue> mainQueue_;
    Options options_;
    Handlers handlers_;
    RequestRouter requests_;
    std::shared_ptr<platform::LinkOpener> links_;
    bool loadedOnce_ = false;
};

}  // namespace host

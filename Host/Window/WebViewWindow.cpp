#include "Host/Window/WebViewWindow.h"

#include <fstream>

#include <gdk/wayland/gdkwayland.h>
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include "Host/Core/MessageLine.h"
#include "Host/Core/RequestParser.h"
#include "Host/Window/GObjectPtr.h"
#include "Host/Window/ScriptMessageReply.h"
#include "Platform/Log.h"

namespace host {

namespace {
constexpr const char* channelName = "musicshell";
// The bridge client defines this function in the window, for events and the page channel's lines.
constexpr const char* receiveScript = "window.__musicshellReceive(message)";
// WebKit writes no console message of an ephemeral session anywhere: with the inspector on, the
// page's errors and warnings, thrown errors and files that failed to load come to the shell's log.
constexpr const char* consoleChannelName = "musicshellConsole";
constexpr const char* consoleScript = R"((() => {
  const tell = (text) => window.webkit.messageHandlers.musicshellConsole.postMessage(String(text));
  for (const level of ["error", "warn"]) {
    const write = console[level].bind(console);
    console[level] = (...parts) => { tell(`${level}: ${parts.join(" ")}`); write(...parts); };
  }
  addEventListener("error", (event) => tell(event instanceof ErrorEvent ? `error: ${event.message}`
    : `error: ${event.target.currentSrc || event.target.src || event.target.href} did not load`), true);
  addEventListener("unhandledrejection", (event) => tell(`error: unhandled rejection: ${event.reason}`));
})();)";

void logFromPage(WebKitUserContentManager*, JSCValue* message, gpointer) {
    std::unique_ptr<char, decltype(&g_free)> text(jsc_value_to_string(message), &g_free);
    platform::log(std::string("page: ") + text.get());
}

bool hasScheme(const std::string& uri, std::string_view scheme) {
    return uri.size() > scheme.size() && uri.compare(0, scheme.size(), scheme) == 0 &&
           uri[scheme.size()] == ':';
}

// The page's media session is the shell's (the page script gives it): WebKit's own would show
// on the desktop as a second player.
void disableOwnMediaSession(WebKitSettings* settings) {
    WebKitFeatureList* features = webkit_settings_get_all_features();
    for (gsize at = 0; at < webkit_feature_list_get_length(features); ++at) {
        WebKitFeature* feature = webkit_feature_list_get(features, at);
        if (std::string_view(webkit_feature_get_identifier(feature)) == "MediaSession") {
            webkit_settings_set_feature_enabled(settings, feature, FALSE);
        }
    }
    webkit_feature_list_unref(features);
}

// The page's audio would also bring WebKit's own media player onto the session bus, from the web
// process, beside the shell's: the desktop would list two. That process finds the bus through
// this variable when it starts, after the window's own connections (the application's, the
// media controls') are made, so it alone is left without one.
void keepEngineOffTheSessionBus() {
    g_setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/musicshell-no-bus", TRUE);
}

// Links that the desktop hands to the user's browser or mail program.
bool opensOutside(const std::string& uri) {
    return hasScheme(uri, "http") || hasScheme(uri, "https") || hasScheme(uri, "mailto");
}
}  // namespace

WebViewWindow::WebViewWindow(GtkApplication* application, std::shared_ptr<Bridge> bridge,
                             std::shared_ptr<platform::MainQueue> mainQueue,
                             std::shared_ptr<platform::LinkOpener> links, Options options,
                             Handlers handlers)
    : mainQueue_(std::move(mainQueue)),
      options_(std::move(options)),
      handlers_(std::move(handlers)),
      requests_(std::move(bridge), nullptr),
      links_(std::move(links)) {
    keepEngineOffTheSessionBus();
    if (options_.channel) {
        // Before the view: its web process starts with these.
        WebKitWebContext* context = webkit_web_context_get_default();
        webkit_web_context_set_web_process_extensions_directory(context,
                                                                options_.extensions.c_str());
        webkit_web_context_set_web_process_extensions_initialization_user_data(
            context,
            g_variant_new("(ss)", options_.channelFolder.c_str(), options_.origin.c_str()));
        // The web process sees what WebKit's sandbox lets in: the channel's folder, read-only,
        // which connecting to a socket needs no more than.
        webkit_web_context_add_path_to_sandbox(context, options_.channelFolder.c_str(), TRUE);
    }
    // Nothing of the web view is kept on disk: the application keeps its data in its container.
    GObjectPtr<WebKitNetworkSession> session(webkit_network_session_new_ephemeral());
    GObjectPtr<WebKitUserContentManager> content(webkit_user_content_manager_new());
    webkit_user_content_manager_register_script_message_handler_with_reply(content.get(),
                                                                           channelName, nullptr);
    auto addScript = [&](const std::string& source) {
        // A boxed type, not a GObject: it has an unref of its own.
        std::unique_ptr<WebKitUserScript, decltype(&webkit_user_script_unref)> script(
            webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                   WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr),
            &webkit_user_script_unref);
        webkit_user_content_manager_add_script(content.get(), script.get());
    };
    if (options_.inspector) {
        webkit_user_content_manager_register_script_message_handler(content.get(),
                                                                    consoleChannelName, nullptr);
        g_signal_connect(content.get(), "script-message-received::musicshellConsole",
                         G_CALLBACK(logFromPage), nullptr);
        addScript(consoleScript);
    }
    if (!options_.pageScript.empty()) {
        addScript(options_.pageScript);
    }
    GObjectPtr<WebKitSettings> settings(webkit_settings_new());
    webkit_settings_set_enable_developer_extras(settings.get(), options_.inspector);
    disableOwnMediaSession(settings.get());
    // A music player starts playing when its user asks, from the media keys too.
    GObjectPtr<WebKitWebsitePolicies> policies(
        webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_ALLOW, nullptr));
    webView_ = WEBKIT_WEB_VIEW(g_object_new(
        WEBKIT_TYPE_WEB_VIEW, "network-session", session.get(), "user-content-manager",
        content.get(), "settings", settings.get(), "website-policies", policies.get(), nullptr));

    g_signal_connect(content.get(), "script-message-with-reply-received::musicshell",
                     G_CALLBACK(+[](WebKitUserContentManager*, JSCValue* message,
                                    WebKitScriptMessageReply* reply, gpointer self) -> gboolean {
                         static_cast<WebViewWindow*>(self)->receive(message, reply);
                         return TRUE;
                     }),
                     this);
    g_signal_connect(
        webView_, "decide-policy",
        G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision,
                       WebKitPolicyDecisionType type, gpointer self) -> gboolean {
            if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
                return FALSE;
            }
            auto* action = webkit_navigation_policy_decision_get_navigation_action(
                WEBKIT_NAVIGATION_POLICY_DECISION(decision));
            std::string uri =
                webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
            bool byUser = webkit_navigation_action_is_user_gesture(action);
            bool allowed = static_cast<WebViewWindow*>(self)->allowNavigation(uri, byUser);
            if (allowed && type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
                webkit_policy_decision_use(decision);
            } else {
                webkit_policy_decision_ignore(decision);
            }
            return TRUE;
        }),
        this);
    g_signal_connect(webView_, "load-changed",
                     G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                         static_cast<WebViewWindow*>(self)->loadChanged(event);
                     }),
                     this);

    window_ = GTK_WINDOW(gtk_application_window_new(application));
    gtk_window_set_title(window_, options_.title.c_str());
    gtk_window_set_default_size(window_, options_.width, options_.height);
    gtk_widget_set_size_request(GTK_WIDGET(window_), options_.minWidth, options_.minHeight);
    if (options_.icon) {
        // The theme finds an unthemed icon by its file's name in a folder it searches.
        gtk_icon_theme_add_search_path(
            gtk_icon_theme_get_for_display(gtk_widget_get_display(GTK_WIDGET(window_))),
            options_.icon->parent_path().c_str());
        gtk_window_set_icon_name(window_, options_.icon->stem().c_str());
    }
    gtk_window_set_child(window_, GTK_WIDGET(webView_));
    // On Wayland GTK names the window by the application's bus name, which holds the
    // container's hash; the desktop looks for an entry of that name and finds none.
    g_signal_connect_after(
        window_, "map", G_CALLBACK(+[](GtkWidget* window, gpointer self) {
            GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
            if (GDK_IS_WAYLAND_TOPLEVEL(surface)) {
                gdk_wayland_toplevel_set_application_id(
                    GDK_TOPLEVEL(surface),
                    static_cast<WebViewWindow*>(self)->options_.desktopEntry.c_str());
            }
        }),
        this);
    g_object_bind_property(webView_, "title", window_, "title", G_BINDING_DEFAULT);
    g_signal_connect(window_, "destroy", G_CALLBACK(+[](GtkWidget*, gpointer self) {
                         static_cast<WebViewWindow*>(self)->rememberSize();
                         static_cast<WebViewWindow*>(self)->webView_ = nullptr;
                         static_cast<WebViewWindow*>(self)->window_ = nullptr;
                     }),
                     this);
}

WebViewWindow::~WebViewWindow() {
    if (window_ != nullptr) {
        rememberSize();
        g_signal_handlers_disconnect_by_data(window_, this);
        g_signal_handlers_disconnect_by_data(webView_, this);
        g_signal_handlers_disconnect_by_data(webkit_web_view_get_user_content_manager(webView_),
                                             this);
        gtk_window_destroy(window_);
    }
}

void WebViewWindow::rememberSize() const {
    if (!options_.sizeFile || window_ == nullptr) {
        return;
    }
    int width = 0;
    int height = 0;
    gtk_window_get_default_size(window_, &width, &height);
    std::error_code error;
    std::filesystem::create_directories(options_.sizeFile->parent_path(), error);
    std::ofstream file(*options_.sizeFile, std::ios::trunc);
    file << width << ' ' << height << '\n';
    if (!file) {
        platform::log("cannot keep the window's size in " + options_.sizeFile->string());
    }
}

void WebViewWindow::load(const std::string& address) {
    if (webView_ != nullptr) {
        webkit_web_view_load_uri(webView_, address.c_str());
    }
}

void WebViewWindow::present() {
    if (window_ != nullptr) {
        gtk_window_present(window_);
    }
}

void WebViewWindow::receive(JSCValue* message, WebKitScriptMessageReply* reply) {
    if (!jsc_value_is_string(message)) {
        webkit_script_message_reply_return_error_message(reply, "Malformed request: not text");
        return;
    }
    GBytes* bytes = jsc_value_to_string_as_bytes(message);
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    if (size > options_.maxMessageBytes) {
        g_bytes_unref(bytes);
        webkit_script_message_reply_return_error_message(reply, "Request too large");
        return;
    }
    std::string text;
    text.reserve(size + RequestParser::padding());
    text.assign(data, size);
    g_bytes_unref(bytes);
    requests_.handle(
        std::move(text), std::nullopt,
        std::make_shared<ScriptMessageReply>(reply, jsc_value_get_context(message), mainQueue_));
}

bool WebViewWindow::allowNavigation(const std::string& uri, bool byUser) {
    if (uri.compare(0, options_.origin.size(), options_.origin) == 0) {
        return true;
    }
    if (!opensOutside(uri)) {
        platform::log("the window does not go to " + uri);
    } else if (byUser) {
        links_->open(uri);
    } else {
        platform::log("the page tried to leave for " + uri + " on its own; refused");
    }
    return false;
}

void WebViewWindow::loadChanged(int event) {
    if (event == WEBKIT_LOAD_STARTED && loadedOnce_ && handlers_.departed) {
        handlers_.departed();
    }
    if (event == WEBKIT_LOAD_FINISHED && !std::exchange(loadedOnce_, true) &&
        handlers_.firstLoaded) {
        handlers_.firstLoaded();
    }
}

void WebViewWindow::deliverEvent(std::string_view pluginName, std::string_view eventName,
                                 const JSObject& data) {
    // Through the page's channel alone while it is connected: in order with its answers, once.
    if (options_.channel && options_.channel->deliverEvent(pluginName, eventName, data)) {
        return;
    }
    post(MessageLine::eventText(pluginName, eventName, data));
}

void WebViewWindow::post(std::string message) {
    mainQueue_->async([weak = weak_from_this(), message = std::move(message)] {
        auto self = weak.lock();
        if (!self || self->webView_ == nullptr) {
            return;
        }
        if (!g_utf8_validate(message.data(), static_cast<gssize>(message.size()), nullptr)) {
            platform::log("an event that is not UTF-8 text was not delivered");
            return;
        }
        GVariantDict arguments;
        g_variant_dict_init(&arguments, nullptr);
        g_variant_dict_insert_value(&arguments, "message", g_variant_new_string(message.c_str()));
        webkit_web_view_call_async_javascript_function(self->webView_, receiveScript, -1,
                                                       g_variant_dict_end(&arguments), nullptr,
                                                       nullptr, nullptr, nullptr, nullptr);
    });
}

}  // namespace host

// Loaded by WebKit into the window's web process: the page's plugin calls go over a unix socket
// straight to the shell, and its answers and events come back on this process's main loop,
// without a round through the UI process for each one. Linked against the web-process extension
// library alone; nothing of the shell is in here.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <glib-unix.h>
#include <webkit/webkit-web-process-extension.h>

namespace {

// The window shows one page, so one channel per web process: that of the main frame's current
// document, if it is of the application's origin.
struct Channel {
    std::string folder;  // where the shell listens, as the shell's user data gives it
    std::string origin;  // "http://127.0.0.1:PORT/"
    int socket = -1;
    guint watch = 0;
    std::string incoming;
    JSCContext* context = nullptr;  // the document's, held while its socket is open
    unsigned generation = 0;        // one more with each close, whatever descriptor comes next

    void close() {
        ++generation;
        if (watch != 0) {
            g_source_remove(watch);
            watch = 0;
        }
        if (socket >= 0) {
            ::close(socket);
            socket = -1;
        }
        incoming.clear();
        g_clear_object(&context);
    }
};

// The socket's address through the folder held open: a unix socket's path is limited to 107
// bytes, a container's is not.
int connectTo(const std::string& folder) {
    int directory = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = "/proc/self/fd/" + std::to_string(directory) + "/channel";
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
    }
    ::close(directory);
    return fd;
}

// Each line goes to the page's receiver as a string value: never evaluated as script.
void handOver(Channel& channel, const std::string& line) {
    if (!g_utf8_validate(line.data(), static_cast<gssize>(line.size()), nullptr)) {
        g_message("musicshell: a message that is not UTF-8 text was not delivered");
        return;
    }
    JSCValue* receiver = jsc_context_get_value(channel.context, "__musicshellReceive");
    if (jsc_value_is_function(receiver)) {
        GBytes* bytes = g_bytes_new_static(line.data(), line.size());
        JSCValue* text = jsc_value_new_string_from_bytes(channel.context, bytes);
        g_bytes_unref(bytes);
        g_object_unref(jsc_value_function_call(receiver, JSC_TYPE_VALUE, text, G_TYPE_NONE));
        g_object_unref(text);
        // What the page's receiver threw is the page's: it goes no further than here.
        jsc_context_clear_exception(channel.context);
    }
    g_object_unref(receiver);
}

gboolean readable(gint fd, GIOCondition, gpointer data) {
    auto& channel = *static_cast<Channel*>(data);
    char buffer[65536];
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
        return G_SOURCE_CONTINUE;
    }
    if (got <= 0) {
        // The shell is gone; the source goes with this return, the rest here.
        channel.watch = 0;
        channel.close();
        return G_SOURCE_REMOVE;
    }
    channel.incoming.append(buffer, static_cast<std::size_t>(got));
    unsigned generation = channel.generation;
    std::size_t start = 0;
    for (std::size_t end; channel.generation == generation &&
                          (end = channel.incoming.find('\n', start)) != std::string::npos;
         start = end + 1) {
        handOver(channel, channel.incoming.substr(start, end - start));
    }
    // The receiver may have closed this socket, and the source with it.
    if (channel.generation != generation) {
        return G_SOURCE_REMOVE;
    }
    channel.incoming.erase(0, start);
    return G_SOURCE_CONTINUE;
}

// The page's `__musicshellChannel.send(text)`: one call's line to the shell.
void send(const char* text, gpointer data) {
    auto& channel = *static_cast<Channel*>(data);
    if (text == nullptr || channel.socket < 0) {
        jsc_context_throw(jsc_context_get_current(), "musicshell: the channel is closed");
        return;
    }
    std::string line = text;
    line += '\n';
    for (std::size_t sent = 0; sent < line.size();) {
        ssize_t wrote =
            ::send(channel.socket, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0) {
            channel.close();
            jsc_context_throw(jsc_context_get_current(), "musicshell: the channel is closed");
            return;
        }
        sent += static_cast<std::size_t>(wrote);
    }
}

bool ofOrigin(const char* uri, const std::string& origin) {
    return uri != nullptr && std::string_view(uri).starts_with(origin);
}

void windowObjectCleared(WebKitScriptWorld* world, WebKitWebPage*, WebKitFrame* frame,
                         gpointer data) {
    auto& channel = *static_cast<Channel*>(data);
    if (!webkit_frame_is_main_frame(frame)) {
        return;
    }
    // A new document: the previous one's calls and events end with it.
    channel.close();
    if (!ofOrigin(webkit_frame_get_uri(frame), channel.origin)) {
        return;
    }
    channel.socket = connectTo(channel.folder);
    if (channel.socket < 0) {
        return;  // the page falls back on the script-message channel
    }
    channel.context = webkit_frame_get_js_context_for_script_world(frame, world);
    channel.watch = g_unix_fd_add(channel.socket, G_IO_IN, readable, &channel);
    JSCValue* object = jsc_value_new_object(channel.context, nullptr, nullptr);
    JSCValue* function = jsc_value_new_function(channel.context, "send", G_CALLBACK(send), &channel,
                                                nullptr, G_TYPE_NONE, 1, G_TYPE_STRING);
    jsc_value_object_define_property_data(object, "send", JSC_VALUE_PROPERTY_ENUMERABLE, function);
    // Neither writable nor configurable: the page's own scripts cannot put another in its place.
    JSCValue* global = jsc_context_get_global_object(channel.context);
    jsc_value_object_define_property_data(global, "__musicshellChannel",
                                          static_cast<JSCValuePropertyFlags>(0), object);
    g_object_unref(global);
    g_object_unref(function);
    g_object_unref(object);
}

}  // namespace

// The shell's user data: ("folder of the socket", "origin of the application's pages").
extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize_with_user_data(
    WebKitWebProcessExtension*, const GVariant* userData) {
    auto* data = const_cast<GVariant*>(userData);
    if (data == nullptr || !g_variant_is_of_type(data, G_VARIANT_TYPE("(ss)"))) {
        g_message("musicshell: the page extension was given no channel; calls take the slow road");
        return;
    }
    const char* folder = nullptr;
    const char* origin = nullptr;
    g_variant_get(data, "(&s&s)", &folder, &origin);
    // Lives as long as the process: WebKit never unloads an extension.
    auto* channel = new Channel();
    channel->folder = folder;
    channel->origin = origin;
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
                     G_CALLBACK(windowObjectCleared), channel);
}

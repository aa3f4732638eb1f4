#include "Platform/Desktop/XdgURLOpener.h"

#include <glib.h>

#include "Platform/Log.h"

bool XdgURLOpener::open(const std::string& url) {
    std::string program = "xdg-open";
    std::string argument = url;
    char* arguments[] = {program.data(), argument.data(), nullptr};
    GError* error = nullptr;
    // Without G_SPAWN_DO_NOT_REAP_CHILD, GLib spawns through an intermediate child it reaps
    // itself, so nothing is left for us to wait for.
    if (!g_spawn_async(nullptr, arguments, nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr,
                       &error)) {
        platform::log(std::string("cannot open ") + url + ": " + error->message);
        g_error_free(error);
        return false;
    }
    return true;
}

#include "Host/Window/WindowRenderer.h"

#include <gtk/gtk.h>

namespace host {

bool hasGraphicsDevice(const std::filesystem::path& devices) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(devices / "dri", error)) {
        if (entry.path().filename().string().starts_with("renderD")) {
            return true;
        }
    }
    return std::filesystem::exists(devices / "nvidiactl", error);
}

void chooseWindowRenderer(const std::filesystem::path& devices) {
    if (hasGraphicsDevice(devices)) {
        return;
    }
    g_setenv("GSK_RENDERER", "cairo", FALSE);
    // GTK 4.16 took this switch out of the debugging flags.
    if (gtk_get_minor_version() < 16) {
        g_setenv("GDK_DEBUG", "gl-disable", FALSE);
    } else {
        g_setenv("GDK_DISABLE", "gl", FALSE);
    }
}

}  // namespace host

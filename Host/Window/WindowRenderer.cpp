#include "Host/Window/WindowRenderer.h"

#include <glib.h>

namespace host {

bool hasRenderNode(const std::filesystem::path& devices) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(devices, error)) {
        if (entry.path().filename().string().starts_with("renderD")) {
            return true;
        }
    }
    return false;
}

void chooseWindowRenderer(const std::filesystem::path& devices) {
    if (g_getenv("GSK_RENDERER") == nullptr && !hasRenderNode(devices)) {
        g_setenv("GSK_RENDERER", "cairo", FALSE);
    }
}

}  // namespace host

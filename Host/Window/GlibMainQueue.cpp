#include "Host/Window/GlibMainQueue.h"

#include <glib.h>

namespace host {

namespace {
struct Item {
    std::shared_ptr<std::atomic<bool>> stopped;
    std::function<void()> work;
};
}  // namespace

GlibMainQueue::GlibMainQueue() : stopped_(std::make_shared<std::atomic<bool>>(false)) {}

GlibMainQueue::~GlibMainQueue() {
    stop();
}

void GlibMainQueue::async(std::function<void()> work) {
    if (*stopped_) {
        return;
    }
    // One idle source per item at one priority: GLib dispatches them in the order they came.
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            auto* item = static_cast<Item*>(data);
            if (!*item->stopped) {
                item->work();
            }
            return G_SOURCE_REMOVE;
        },
        new Item{stopped_, std::move(work)},
        [](gpointer data) { delete static_cast<Item*>(data); });
}

void GlibMainQueue::stop() {
    *stopped_ = true;
}

}  // namespace host

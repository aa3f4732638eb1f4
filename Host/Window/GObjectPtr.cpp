#include "Host/Window/GObjectPtr.h"

#include <glib-object.h>

namespace host {

void GObjectUnref::operator()(void* object) const {
    g_object_unref(object);
}

void* addGObjectReference(void* object) {
    return g_object_ref(object);
}

}  // namespace host

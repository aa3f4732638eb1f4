#pragma once

#include <memory>

namespace host {

// Gives back the one reference a GObjectPtr holds.
struct GObjectUnref {
    void operator()(void* object) const;
};

// One reference to a GObject, given back when the owner goes: taken over from whatever made it
// (`GObjectPtr<T>(gtk_..._new(...))`), or added to one borrowed (`referenced`).
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

void* addGObjectReference(void* object);

template <class T>
GObjectPtr<T> referenced(T* object) {
    return GObjectPtr<T>(static_cast<T*>(addGObjectReference(object)));
}

}  // namespace host

#include "Host/Core/RuntimeClassTable.h"

#include <stdexcept>
#include <string>

namespace host {

namespace {
template <class Class>
std::map<std::string_view, const Class*> indexByName() {
    std::map<std::string_view, const Class*> index;
    for (const Class* each = Class::first(); each != nullptr; each = each->next()) {
        if (!index.emplace(each->name(), each).second) {
            throw std::logic_error("two classes are named " + std::string(each->name()));
        }
    }
    return index;
}

template <class Class>
const Class* find(const std::map<std::string_view, const Class*>& index, std::string_view name) {
    auto found = index.find(name);
    return found == index.end() ? nullptr : found->second;
}
}  // namespace

RuntimeClassTable::RuntimeClassTable()
    : plugins_(indexByName<CAPPluginClass>()),
      delegates_(indexByName<platform::ApplicationDelegateClass>()),
      viewControllers_(indexByName<platform::ViewControllerClass>()) {}

const CAPPluginClass* RuntimeClassTable::pluginClass(std::string_view name) const {
    return find(plugins_, name);
}

const platform::ApplicationDelegateClass* RuntimeClassTable::delegateClass(
    std::string_view name) const {
    return find(delegates_, name);
}

const platform::ViewControllerClass* RuntimeClassTable::viewControllerClass(
    std::string_view name) const {
    return find(viewControllers_, name);
}

}  // namespace host

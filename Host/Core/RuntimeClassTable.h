#pragma once

#include <map>
#include <string_view>

#include "App/Bridge/CAPPluginClass.h"
#include "Platform/ApplicationDelegate.h"
#include "Platform/ViewController.h"

namespace host {

// Every class that announced itself to the runtime, found by the name it is known by: plugin
// classes by their plain names, the application's other classes by module-qualified names.
class RuntimeClassTable {
public:
    // Indexes the classes announced so far; throws std::logic_error when two share a name.
    RuntimeClassTable();

    const CAPPluginClass* pluginClass(std::string_view name) const;
    const platform::ApplicationDelegateClass* delegateClass(std::string_view name) const;
    const platform::ViewControllerClass* viewControllerClass(std::string_view name) const;

private:
    std::map<std::string_view, const CAPPluginClass*> plugins_;
    std::map<std::string_view, const platform::ApplicationDelegateClass*> delegates_;
    std::map<std::string_view, const platform::ViewControllerClass*> viewControllers_;
};

}  // namespace host

#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "App/Bridge/CAPPlugin.h"
#include "App/Bridge/CAPPluginCall.h"
#include "Platform/RuntimeClass.h"

// A method the web application may call, by its plain name, and the name of its payload
// argument, if it takes bytes (see CAPPayload).
struct CAPPluginMethod {
    std::string_view name;
    void (*invoke)(CAPPlugin& plugin, const CAPPluginCall& call);
    std::optional<std::string_view> payload;

    template <class Plugin, void (Plugin::*Method)(const CAPPluginCall&)>
    static CAPPluginMethod of(std::string_view name,
                              std::optional<std::string_view> payload = std::nullopt) {
        return {name,
                [](CAPPlugin& plugin, const CAPPluginCall& call) {
                    (static_cast<Plugin&>(plugin).*Method)(call);
                },
                payload};
    }

    // Runs the method as the bridge does: base64 text for its payload argument decoded first.
    void run(CAPPlugin& plugin, const CAPPluginCall& call) const {
        call.settlePayload(payload);
        invoke(plugin, call);
    }
};

using CAPPluginFactory = std::shared_ptr<CAPPlugin> (*)(std::weak_ptr<CAPBridgeProtocol> bridge,
                                                        std::string pluginId,
                                                        std::string pluginName);

// A plugin class as the runtime knows it: its plain class name, how to create it with a bridge,
// and its methods. A plugin's source file defines one at namespace scope:
//   const CAPPluginClass runtimeClass("MyPlugin", &createPlugin<MyPlugin>,
//       {CAPPluginMethod::of<MyPlugin, &MyPlugin::myMethod>("myMethod")});
using CAPPluginClass = platform::RuntimeClass<CAPPluginFactory, std::vector<CAPPluginMethod>>;

template <class Plugin>
std::shared_ptr<CAPPlugin> createPlugin(std::weak_ptr<CAPBridgeProtocol> bridge,
                                        std::string pluginId, std::string pluginName) {
    return std::make_shared<Plugin>(std::move(bridge), std::move(pluginId), std::move(pluginName));
}

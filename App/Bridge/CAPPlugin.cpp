#include "App/Bridge/CAPPlugin.h"

CAPPlugin::CAPPlugin(std::weak_ptr<CAPBridgeProtocol> bridge, std::string pluginId,
                     std::string pluginName)
    : bridge_(std::move(bridge)),
      pluginId_(std::move(pluginId)),
      pluginName_(std::move(pluginName)) {}

CAPPlugin::CAPPlugin() = default;

void CAPPlugin::notifyListeners(std::string_view eventName, const JSObject& data) const {
    if (auto bridge = bridge_.lock()) {
        bridge->notifyListeners(pluginName_, eventName, data);
    }
}

platform::Services CAPPlugin::platform() const {
    if (auto bridge = bridge_.lock()) {
        return bridge->platform();
    }
    return platform::Services::shared();
}

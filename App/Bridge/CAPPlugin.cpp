#include "App/Bridge/CAPPlugin.h"

#include <stdexcept>

CAPPlugin::CAPPlugin(std::weak_ptr<CAPBridgeProtocol> bridge, std::string pluginId,
                     std::string pluginName)
    : bridge_(std::move(bridge)),
      pluginId_(std::move(pluginId)),
      pluginName_(std::move(pluginName)) {
    if (auto owner = bridge_.lock()) {
        services_ = owner->platform();
    }
}

CAPPlugin::CAPPlugin() = default;

void CAPPlugin::notifyListeners(std::string_view eventName, const JSObject& data) const {
    if (auto bridge = bridge_.lock()) {
        bridge->notifyListeners(pluginName_, eventName, data);
    }
}

const platform::Services& CAPPlugin::platform() const {
    if (!services_) {
        throw std::logic_error("plugin " + pluginName_ + " was made without a bridge");
    }
    return *services_;
}

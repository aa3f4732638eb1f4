#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "App/Bridge/CAPBridgeProtocol.h"
#include "App/Bridge/JSObject.h"

// Base of every plugin. The bridge creates one instance per plugin class, calls `load` once and
// then delivers calls to its methods one at a time, on the bridge's delivery thread.
class CAPPlugin : public std::enable_shared_from_this<CAPPlugin> {
public:
    CAPPlugin(std::weak_ptr<CAPBridgeProtocol> bridge, std::string pluginId,
              std::string pluginName);
    CAPPlugin();
    virtual ~CAPPlugin() = default;
    CAPPlugin(const CAPPlugin&) = delete;
    CAPPlugin& operator=(const CAPPlugin&) = delete;

    virtual void load() {}

    // Sends an event to the web application's listeners; nothing when the bridge is gone.
    // Safe from any thread.
    void notifyListeners(std::string_view eventName, const JSObject& data) const;

    const std::string& pluginId() const { return pluginId_; }
    const std::string& pluginName() const { return pluginName_; }

protected:
    // The platform services of the bridge that made the plugin. A plugin made without a bridge
    // has none: asking throws std::logic_error, which the bridge turns into a rejected call.
    const platform::Services& platform() const;

private:
    std::weak_ptr<CAPBridgeProtocol> bridge_;
    std::optional<platform::Services> services_;
    std::string pluginId_;
    std::string pluginName_;
};

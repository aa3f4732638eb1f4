#pragma once

#include <string_view>

#include "App/Bridge/JSObject.h"
#include "Platform/Services.h"

// What a plugin may ask of the bridge that hosts it. Safe from any thread.
class CAPBridgeProtocol {
public:
    virtual ~CAPBridgeProtocol() = default;

    // Sends an event to every listener of that name the web application has for the plugin.
    virtual void notifyListeners(std::string_view pluginName, std::string_view eventName,
                                 const JSObject& data) = 0;
    // The platform services the application runs on.
    virtual const platform::Services& platform() const = 0;
};

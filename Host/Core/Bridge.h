#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "App/Bridge/CAPBridgeProtocol.h"
#include "App/Bridge/CAPBridgeViewController.h"
#include "App/Bridge/CAPPluginClass.h"
#include "Host/Core/RuntimeClassTable.h"
#include "Platform/SerialQueue.h"

namespace host {

// Carries events to the pages of one transport. Safe from any thread.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void deliverEvent(std::string_view pluginName, std::string_view eventName,
                              const JSObject& data) = 0;
};

// The host bridge: creates the configured plugins by class name, routes calls to their methods
// one at a time on its delivery thread, and passes their events to every transport.
class Bridge : public CAPBridgeProtocol,
               public CAPWebViewHost,
               public std::enable_shared_from_this<Bridge> {
public:
    Bridge(const RuntimeClassTable& classes, platform::Services services,
           std::vector<std::string> pluginClassNames);
    ~Bridge() override;
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // The first load creates the plugins and calls `load` once on each; a class the runtime does
    // not know is logged and skipped.
    void loadWebApplication() override;
    void notifyListeners(std::string_view pluginName, std::string_view eventName,
                         const JSObject& data) override;
    const platform::Services& platform() const override { return services_; }
    std::shared_ptr<CAPBridgeProtocol> bridge() override { return shared_from_this(); }

    void addEventSink(std::weak_ptr<EventSink> sink);

    // Runs the method the call names on the delivery thread and returns once it has returned.
    // A call for an unknown plugin or method is rejected; a method that throws has its call
    // rejected, unless it finished the call first.
    void deliver(std::string_view pluginName, const CAPPluginCall& call);
    // The same, but queued for the delivery thread and returning at once; calls still run one
    // at a time, in the order they were queued.
    void deliverLater(std::string_view pluginName, CAPPluginCall call);
    // Ends delivery; calls not yet delivered are dropped. Joins the delivery thread.
    void stop();

private:
    struct Route {
        std::shared_ptr<CAPPlugin> plugin;
        const CAPPluginMethod* method = nullptr;
    };

    // The method a call names, or nothing after rejecting the call.
    std::optional<Route> route(std::string_view pluginName, const CAPPluginCall& call) const;
    static void invoke(const Route& route, const CAPPluginCall& call);

    struct LoadedPlugin {
        std::shared_ptr<CAPPlugin> instance;
        const CAPPluginClass* runtimeClass = nullptr;
    };

    const RuntimeClassTable& classes_;
    platform::Services services_;
    std::vector<std::string> pluginClassNames_;
    mutable std::mutex mutex_;
    bool loaded_ = false;
    std::map<std::string, LoadedPlugin, std::less<>> plugins_;
    std::vector<std::weak_ptr<EventSink>> sinks_;
    SerialQueue delivery_;
    std::thread deliveryThread_;
};

}  // namespace host

#pragma once

#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "App/Bridge/CAPBridgeProtocol.h"
#include "App/Bridge/CAPPluginCall.h"

// A bridge that records the events plugins send, and a responder that records their answers.
class FakeBridge : public CAPBridgeProtocol, public CAPCallResponder {
public:
    // The plugin's name, the event's name, and its data.
    using Event = std::tuple<std::string, std::string, JSObject>;

    explicit FakeBridge(platform::Services services) : services_(std::move(services)) {}

    void notifyListeners(std::string_view pluginName, std::string_view eventName,
                         const JSObject& data) override {
        std::lock_guard lock(mutex_);
        events_.push_back({std::string(pluginName), std::string(eventName), data});
    }

    const platform::Services& platform() const override { return services_; }

    void respond(const std::string& callbackId, CAPCallResult result) override {
        std::lock_guard lock(mutex_);
        answers_.push_back({callbackId, std::move(result)});
    }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

    std::vector<std::pair<std::string, CAPCallResult>> answers() const {
        std::lock_guard lock(mutex_);
        return answers_;
    }

private:
    platform::Services services_;
    mutable std::mutex mutex_;
    std::vector<Event> events_;
    std::vector<std::pair<std::string, CAPCallResult>> answers_;
};

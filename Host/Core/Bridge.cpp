#include "Host/Core/Bridge.h"

#include <exception>

#include "Platform/Log.h"

namespace host {

Bridge::Bridge(const RuntimeClassTable& classes, platform::Services services,
               std::vector<std::string> pluginClassNames)
    : classes_(classes),
      services_(std::move(services)),
      pluginClassNames_(std::move(pluginClassNames)),
      deliveryThread_([this] { delivery_.run(); }) {}

Bridge::~Bridge() {
    stop();
}

void Bridge::stop() {
    delivery_.stop();
    if (deliveryThread_.joinable()) {
        deliveryThread_.join();
    }
}

void Bridge::loadWebApplication() {
    std::vector<std::shared_ptr<CAPPlugin>> created;
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(loaded_, true)) {
            return;
        }
        for (const std::string& name : pluginClassNames_) {
            const CAPPluginClass* runtimeClass = classes_.pluginClass(name);
            if (runtimeClass == nullptr) {
                platform::log("no plugin class named " + name + "; skipped");
                continue;
            }
            auto instance = runtimeClass->make()(weak_from_this(), name, name);
            plugins_[name] = {instance, runtimeClass};
            created.push_back(std::move(instance));
        }
    }
    for (const auto& plugin : created) {
        plugin->load();
    }
}

void Bridge::notifyListeners(std::string_view pluginName, std::string_view eventName,
                             const JSObject& data) {
    std::vector<std::shared_ptr<EventSink>> sinks;
    {
        std::lock_guard lock(mutex_);
        for (const auto& weak : sinks_) {
            if (auto sink = weak.lock()) {
                sinks.push_back(std::move(sink));
            }
        }
    }
    for (const auto& sink : sinks) {
        sink->deliverEvent(pluginName, eventName, data);
    }
}

void Bridge::addEventSink(std::weak_ptr<EventSink> sink) {
    std::lock_guard lock(mutex_);
    std::erase_if(sinks_, [](const std::weak_ptr<EventSink>& each) { return each.expired(); });
    sinks_.push_back(std::move(sink));
}

std::optional<Bridge::Route> Bridge::route(std::string_view pluginName,
                                           const CAPPluginCall& call) const {
    std::lock_guard lock(mutex_);
    auto found = plugins_.find(pluginName);
    if (found == plugins_.end()) {
        call.reject("Unknown plugin: " + std::string(pluginName));
        return std::nullopt;
    }
    for (const CAPPluginMethod& method : found->second.runtimeClass->description()) {
        if (method.name == call.methodName()) {
            return Route{found->second.instance, &method};
        }
    }
    call.reject("Unknown method: " + std::string(pluginName) + "." + call.methodName());
    return std::nullopt;
}

void Bridge::deliver(std::string_view pluginName, const CAPPluginCall& call) {
    if (auto found = route(pluginName, call)) {
        delivery_.sync([&found, &call] { invoke(*found, call); });
    }
}

void Bridge::deliverLater(std::string_view pluginName, CAPPluginCall call) {
    if (auto found = route(pluginName, call)) {
        delivery_.async(
            [found = std::move(*found), call = std::move(call)] { invoke(found, call); });
    }
}

void Bridge::invoke(const Route& route, const CAPPluginCall& call) {
    try {
        route.method->run(*route.plugin, call);
    } catch (const std::exception& error) {
        platform::log("call to " + call.methodName() + " threw: " + error.what());
        if (!call.isFinished()) {
            call.reject(std::string("Internal error: ") + error.what());
        }
    } catch (...) {
        if (!call.isFinished()) {
            call.reject("Internal error");
        }
    }
}

}  // namespace host

#include "App/Bridge/ApplicationDelegateProxy.h"

namespace {
constexpr std::string_view appPluginName = "App";
constexpr std::string_view urlOpenEvent = "appUrlOpen";
}  // namespace

ApplicationDelegateProxy& ApplicationDelegateProxy::shared() {
    static ApplicationDelegateProxy* proxy = new ApplicationDelegateProxy();
    return *proxy;
}

bool ApplicationDelegateProxy::openURL(platform::Application&, const std::string& url,
                                       const platform::OpenURLOptions&) {
    std::shared_ptr<CAPBridgeProtocol> bridge;
    {
        std::lock_guard lock(mutex_);
        bridge = bridge_.lock();
    }
    if (!bridge || !bridge->platform().urlSession->isValidURL(url)) {
        return false;
    }
    bridge->notifyListeners(appPluginName, urlOpenEvent, JSObject{{"url", url}});
    return true;
}

bool ApplicationDelegateProxy::continueUserActivity(platform::Application& application,
                                                    const platform::UserActivity& activity,
                                                    const platform::RestorationHandler&) {
    if (!activity.webpageURL) {
        return false;
    }
    return openURL(application, *activity.webpageURL, {});
}

void ApplicationDelegateProxy::setBridge(std::weak_ptr<CAPBridgeProtocol> bridge) {
    std::lock_guard lock(mutex_);
    bridge_ = std::move(bridge);
}

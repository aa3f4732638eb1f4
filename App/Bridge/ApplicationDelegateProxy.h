#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "App/Bridge/CAPBridgeProtocol.h"
#include "Platform/ApplicationDelegate.h"

// Hands what the system gives the application delegate (opened URLs, continued activities) on
// to the bridge, which tells the web application. Safe from any thread.
class ApplicationDelegateProxy {
public:
    static ApplicationDelegateProxy& shared();

    // True for a URL that parses; the web application then hears "appUrlOpen" with {"url": url}.
    bool openURL(platform::Application& application, const std::string& url,
                 const platform::OpenURLOptions& options);
    // True for an activity that carries a web page URL, which goes on as an opened URL.
    bool continueUserActivity(platform::Application& application,
                              const platform::UserActivity& activity,
                              const platform::RestorationHandler& restorationHandler);

    // The host attaches the bridge when it creates it.
    void setBridge(std::weak_ptr<CAPBridgeProtocol> bridge);

private:
    std::mutex mutex_;
    std::weak_ptr<CAPBridgeProtocol> bridge_;
};

#include "App/AppDelegate.h"

#include "App/Bridge/ApplicationDelegateProxy.h"

const platform::ApplicationDelegateClass AppDelegate::runtimeClass(
    "musicshell.AppDelegate", []() -> std::shared_ptr<platform::ApplicationDelegate> {
        return std::make_shared<AppDelegate>();
    });

bool AppDelegate::didFinishLaunching(platform::Application&,
                                     const std::optional<platform::LaunchOptions>&) {
    return true;
}

void AppDelegate::willResignActive(platform::Application&) {}

void AppDelegate::didEnterBackground(platform::Application&) {}

void AppDelegate::willEnterForeground(platform::Application&) {}

void AppDelegate::didBecomeActive(platform::Application&) {}

void AppDelegate::willTerminate(platform::Application&) {}

bool AppDelegate::openURL(platform::Application& application, const std::string& url,
                          const platform::OpenURLOptions& options) {
    return ApplicationDelegateProxy::shared().openURL(application, url, options);
}

bool AppDelegate::continueUserActivity(platform::Application& application,
                                       const platform::UserActivity& activity,
                                       platform::RestorationHandler restorationHandler) {
    return ApplicationDelegateProxy::shared().continueUserActivity(application, activity,
                                                                   restorationHandler);
}

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
    // The proxy may keep the handler; the wrapper owns its own copy of the platform's one.
    platform::RestorationHandler wrapper =
        [handler = std::move(restorationHandler)](platform::RestoringObjects objects) {
            if (handler) {
                handler(std::move(objects));
            }
        };
    return ApplicationDelegateProxy::shared().continueUserActivity(application, activity, wrapper);
}

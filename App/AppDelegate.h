#pragma once

#include <memory>

#include "Platform/ApplicationDelegate.h"

// The application delegate. It does no lifecycle work of its own and never makes a window: the
// platform builds the window from the main interface and hands it over. Opened URLs and continued
// activities go unchanged to the bridge's application-delegate proxy.
class AppDelegate : public platform::ApplicationDelegate {
public:
    // The name the runtime knows the class by.
    static const platform::ApplicationDelegateClass runtimeClass;

    bool didFinishLaunching(platform::Application& application,
                            const std::optional<platform::LaunchOptions>& options) override;
    void willResignActive(platform::Application& application) override;
    void didEnterBackground(platform::Application& application) override;
    void willEnterForeground(platform::Application& application) override;
    void didBecomeActive(platform::Application& application) override;
    void willTerminate(platform::Application& application) override;
    bool openURL(platform::Application& application, const std::string& url,
                 const platform::OpenURLOptions& options) override;
    bool continueUserActivity(platform::Application& application,
                              const platform::UserActivity& activity,
                              platform::RestorationHandler restorationHandler) override;

    void setWindow(std::shared_ptr<platform::Window> window) override {
        window_ = std::move(window);
    }
    std::shared_ptr<platform::Window> window() const override { return window_; }

private:
    std::shared_ptr<platform::Window> window_;
};

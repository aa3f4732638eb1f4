#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/RuntimeClass.h"
#include "Platform/ViewController.h"

namespace platform {

// The running application, as its delegate is shown it.
class Application {};

using LaunchOptions = std::map<std::string, std::any>;
using OpenURLOptions = std::map<std::string, std::any>;

// Work the user began elsewhere (a web page, another device) and continues here.
struct UserActivity {
    std::string activityType;
    std::optional<std::string> webpageURL;
};

// An object that takes part in restoring a continued activity.
class UserActivityRestoring {
public:
    virtual ~UserActivityRestoring() = default;
};

using RestoringObjects = std::optional<std::vector<std::shared_ptr<UserActivityRestoring>>>;
using RestorationHandler = std::function<void(RestoringObjects)>;

// What the platform tells the application about its life. Every call comes on the main thread.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;

    virtual bool didFinishLaunching(Application& application,
                                    const std::optional<LaunchOptions>& options) = 0;
    virtual void willResignActive(Application& application) = 0;
    virtual void didEnterBackground(Application& application) = 0;
    virtual void willEnterForeground(Application& application) = 0;
    virtual void didBecomeActive(Application& application) = 0;
    virtual void willTerminate(Application& application) = 0;
    // The answer tells the system whether the application handled the URL.
    virtual bool openURL(Application& application, const std::string& url,
                         const OpenURLOptions& options) = 0;
    virtual bool continueUserActivity(Application& application, const UserActivity& activity,
                                      RestorationHandler restorationHandler) = 0;

    // The platform hands the delegate the window it built from the main interface.
    virtual void setWindow(std::shared_ptr<Window> window) = 0;
    virtual std::shared_ptr<Window> window() const = 0;
};

using ApplicationDelegateClass = RuntimeClass<std::shared_ptr<ApplicationDelegate> (*)()>;

// Runs the application: makes the delegate of the named class, builds the main interface and
// turns the main loop until the application quits. Gives the process's exit status.
int applicationMain(int argc, char** argv, std::string_view delegateClassName);

}  // namespace platform

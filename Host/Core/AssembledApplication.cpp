#include "Host/Core/AssembledApplication.h"

#include "App/Bridge/ApplicationDelegateProxy.h"
#include "Platform/Log.h"

namespace host {

std::unique_ptr<AssembledApplication> AssembledApplication::assemble(
    platform::Services services, SerialQueue& mainQueue, std::string_view delegateClassName,
    const HostConfiguration& configuration) {
    RuntimeClassTable classes;
    const auto* delegateClass = classes.delegateClass(delegateClassName);
    const auto* rootClass = classes.viewControllerClass(configuration.rootViewController);
    if (delegateClass == nullptr || rootClass == nullptr) {
        platform::log("the application's delegate or root view controller class is missing");
        return nullptr;
    }
    return std::make_unique<AssembledApplication>(Passkey{}, std::move(services), mainQueue,
                                                  *delegateClass, *rootClass, configuration);
}

AssembledApplication::AssembledApplication(Passkey, platform::Services services,
                                           SerialQueue& mainQueue,
                                           const platform::ApplicationDelegateClass& delegateClass,
                                           const platform::ViewControllerClass& rootClass,
                                           const HostConfiguration& configuration)
    : delegate_(delegateClass.make()()),
      window_(std::make_shared<platform::Window>()),
      bridge_(std::make_shared<Bridge>(classes_, services, configuration.plugins)),
      receivesURL_([manifest = configuration.manifest](std::string_view url) {
          return !manifest || manifest->receives(url);
      }),
      hostRequests_(services, mainQueue, application_, delegate_, receivesURL_) {
    window_->rootViewController = rootClass.make()(platform::Coder{"root"});
    delegate_->setWindow(window_);
    ApplicationDelegateProxy::shared().setBridge(bridge_);
    if (auto* bridgeView =
            dynamic_cast<CAPBridgeViewController*>(window_->rootViewController.get())) {
        bridgeView->setWebViewHost(bridge_);
    }
}

void AssembledApplication::launch() {
    delegate_->didFinishLaunching(application_, std::nullopt);
    window_->rootViewController->viewDidLoad();
}

bool AssembledApplication::openURL(const std::string& url) {
    return receivesURL_(url) && delegate_->openURL(application_, url, {});
}

}  // namespace host

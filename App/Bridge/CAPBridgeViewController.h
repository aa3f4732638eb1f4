#pragma once

#include <memory>

#include "App/Bridge/CAPBridgeProtocol.h"
#include "Platform/ViewController.h"

// Whoever runs the web view: creates it and the bridge, loads the web application and creates
// the plugins.
class CAPWebViewHost {
public:
    virtual ~CAPWebViewHost() = default;
    // Called on the main thread each time the view loads. The first load creates the plugins
    // (calling `load` once on each); later loads reload the web application only.
    virtual void loadWebApplication() = 0;
    // The bridge between the web application and its plugins.
    virtual std::shared_ptr<CAPBridgeProtocol> bridge() = 0;
};

// The bridge's view controller: hosts the web application. Subclasses override `viewDidLoad`
// and call this one first.
class CAPBridgeViewController : public platform::ViewController {
public:
    using platform::ViewController::ViewController;

    void viewDidLoad() override;

    // The platform services of the web view host's bridge; throws std::logic_error before the
    // platform has attached a host.
    platform::Services platform() const;

    // The platform attaches the web view host before the view first loads.
    void setWebViewHost(std::weak_ptr<CAPWebViewHost> host) { webViewHost_ = std::move(host); }

private:
    std::weak_ptr<CAPWebViewHost> webViewHost_;
};

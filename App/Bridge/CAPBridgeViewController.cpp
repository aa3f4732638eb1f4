#include "App/Bridge/CAPBridgeViewController.h"

#include <stdexcept>

void CAPBridgeViewController::viewDidLoad() {
    if (auto host = webViewHost_.lock()) {
        host->loadWebApplication();
    }
}

platform::Services CAPBridgeViewController::platform() const {
    auto host = webViewHost_.lock();
    if (!host) {
        throw std::logic_error("the view controller has no web view host");
    }
    return host->bridge()->platform();
}

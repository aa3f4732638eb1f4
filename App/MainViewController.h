#pragma once

#include "App/Bridge/CAPBridgeViewController.h"

// The root view controller: the bridge's view controller, which also brings up the media
// session once the view has loaded.
class MainViewController : public CAPBridgeViewController {
public:
    using CAPBridgeViewController::CAPBridgeViewController;

    static const platform::ViewControllerClass runtimeClass;

    void viewDidLoad() override;
};

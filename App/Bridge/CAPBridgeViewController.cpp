#include "App/Bridge/CAPBridgeViewController.h"

void CAPBridgeViewController::viewDidLoad() {
    if (auto host = webViewHost_.lock()) {
        host->loadWebApplication();
    }
}

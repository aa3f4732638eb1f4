#include "App/MainViewController.h"

#include "App/Media/MediaManager.h"

const platform::ViewControllerClass MainViewController::runtimeClass(
    "musicshell.MainViewController",
    [](const platform::Coder& coder) -> std::shared_ptr<platform::ViewController> {
        return std::make_shared<MainViewController>(coder);
    });

void MainViewController::viewDidLoad() {
    CAPBridgeViewController::viewDidLoad();
    // On the first load this runs the session set-up and registration a second time; both are
    // safe to repeat and leave one handler per command.
    auto services = platform();
    auto manager = MediaManager::shared(services);
    manager->configureAudioSession();
    manager->registerRemoteCommands();
    // Activation failures here are dropped: the session set-up above reports its own.
    static_cast<void>(services.audioSession->setActive(true, 0));
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/AppDelegate.h"
#include "App/Bridge/ApplicationDelegateProxy.h"
#include "App/MainViewController.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeServices.h"

using testing::ElementsAre;

namespace {

using Log = std::vector<std::string>;

// The root view controller and the delegate on fresh fakes (so the shared media manager is made
// anew on them), with one log of what a view load sets in motion, in order: the bridge's own
// set-up, the audio session's calls, and each registration of the media commands.
struct Shell : CAPWebViewHost {
    Shell() {
        view.setWebViewHost(asHost);
        ApplicationDelegateProxy::shared().setBridge(bridge_);
        // A registration changes the center fifteen times: one line in the log.
        fakes.commandCenter->setObserver([this] {
            if (log.back() != "register") {
                log.push_back("register");
            }
        });
    }
    ~Shell() override { fakes.commandCenter->setObserver({}); }
    void loadWebApplication() override { log.push_back("load web application"); }
    std::shared_ptr<CAPBridgeProtocol> bridge() override { return bridge_; }

    FakeServices fakes;
    Log& log = *fakes.audioSession->log;
    std::shared_ptr<FakeBridge> bridge_ = std::make_shared<FakeBridge>(fakes.services());
    MainViewController view{platform::Coder{"root"}};
    std::shared_ptr<CAPWebViewHost> asHost{this, [](CAPWebViewHost*) {}};  // not owning
};

const std::string configure = "setCategory playback default 100";
const std::string activate = "setActive 1 0";

// The first load also creates the media manager, which configures and registers once more.
TEST(MainViewControllerTest, EachLoadRunsTheBridgeThenConfiguresRegistersAndActivates) {
    Shell shell;
    shell.view.viewDidLoad();
    EXPECT_THAT(shell.log, ElementsAre("load web application", configure, activate, "register",
                                       configure, activate, "register", activate));
    shell.log.clear();
    shell.view.viewDidLoad();
    EXPECT_THAT(shell.log,
                ElementsAre("load web application", configure, activate, "register", activate));
    EXPECT_TRUE(shell.fakes.console->lines().empty());
}

// A failed step of the session set-up prints one line each time it runs and skips the rest of
// it, and the commands are registered all the same; the view's own activation fails silently.
TEST(MainViewControllerTest, OnlyTheSessionSetUpPrintsItsFailuresEachTimeItRuns) {
    const std::vector<std::pair<std::optional<platform::Error> FakeAudioSession::*, Log>> cases = {
        {&FakeAudioSession::failCategory,
         {"load web application", configure, "register", configure, "register", activate}},
        {&FakeAudioSession::failActivation,
         {"load web application", configure, activate, "register", configure, activate, "register",
          activate}},
    };
    for (const auto& [failure, log] : cases) {
        Shell shell;
        (*shell.fakes.audioSession).*failure = platform::Error{"refused"};
        shell.view.viewDidLoad();
        EXPECT_EQ(shell.log, log);
        EXPECT_EQ(shell.fakes.console->lines(), Log(2, "Audio session error: refused"));
        shell.view.viewDidLoad();
        EXPECT_EQ(shell.fakes.console->lines().size(), 3u);
    }
}

// Opened addresses reach the page through the host's own requests (StdioHostTest checks which
// parse); an activity's address goes the same way, and nothing is restored.
TEST(AppDelegateTest, AnActivitysAddressReachesThePageAndNothingIsRestored) {
    Shell shell;
    AppDelegate delegate;
    platform::Application application;
    int restored = 0;
    auto handler = [&](platform::RestoringObjects) { ++restored; };
    EXPECT_TRUE(delegate.continueUserActivity(application, {"browsing", "https://music.example/a"},
                                              handler));
    EXPECT_FALSE(delegate.continueUserActivity(application, {"browsing", std::nullopt}, handler));
    EXPECT_EQ(restored, 0);
    EXPECT_THAT(
        shell.bridge_->events(),
        ElementsAre(FakeBridge::Event{"App", "appUrlOpen", {{"url", "https://music.example/a"}}}));
}

}  // namespace

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "App/AppDelegate.h"
#include "App/Bridge/ApplicationDelegateProxy.h"
#include "App/MainViewController.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeServices.h"

using testing::ElementsAre;

namespace {

// One log of what the root view controller sets in motion, in order: the bridge's own view
// set-up, the audio session's calls, and each registration of the media commands.
using Log = std::vector<std::string>;

class LoggedAudioSession : public FakeAudioSession {
public:
    explicit LoggedAudioSession(Log& log) : log_(log) {}
    std::optional<platform::Error> setCategory(std::string_view category, std::string_view mode,
                                               std::uint64_t options) override {
        log_.push_back("configure");
        return FakeAudioSession::setCategory(category, mode, options);
    }
    std::optional<platform::Error> setActive(bool active, std::uint64_t options) override {
        log_.push_back("activate " + std::to_string(active) + " " + std::to_string(options));
        return FakeAudioSession::setActive(active, options);
    }

private:
    Log& log_;
};

class LoggedWebViewHost : public CAPWebViewHost {
public:
    LoggedWebViewHost(Log& log, std::shared_ptr<FakeBridge> bridge)
        : log_(log), bridge_(std::move(bridge)) {}
    void loadWebApplication() override { log_.push_back("load web application"); }
    std::shared_ptr<CAPBridgeProtocol> bridge() override { return bridge_; }

private:
    Log& log_;
    std::shared_ptr<FakeBridge> bridge_;
};

// The root view controller and the delegate on fresh fakes, so the shared media manager is made
// anew on them.
struct Shell {
    Shell() {
        fakes.audioSession = session;
        bridge = std::make_shared<FakeBridge>(fakes.services());
        host = std::make_shared<LoggedWebViewHost>(log, bridge);
        view.setWebViewHost(host);
        ApplicationDelegateProxy::shared().setBridge(bridge);
        // A registration changes the center fifteen times: one line in the log.
        fakes.commandCenter->setObserver([this] {
            if (log.back() != "register") {
                log.push_back("register");
            }
        });
    }
    ~Shell() { fakes.commandCenter->setObserver({}); }

    Log log;
    FakeServices fakes;
    std::shared_ptr<LoggedAudioSession> session = std::make_shared<LoggedAudioSession>(log);
    std::shared_ptr<FakeBridge> bridge;
    std::shared_ptr<LoggedWebViewHost> host;
    MainViewController view{platform::Coder{"root"}};
    platform::Application application;
    AppDelegate delegate;
};

// The first load also creates the media manager, which configures and registers once more.
TEST(MainViewControllerTest, EachLoadRunsTheBridgeThenConfiguresRegistersAndActivates) {
    Shell shell;
    auto& log = shell.log;
    shell.view.viewDidLoad();
    EXPECT_THAT(log, ElementsAre("load web application", "configure", "activate 1 0", "register",
                                 "configure", "activate 1 0", "register", "activate 1 0"));
    log.clear();
    shell.view.viewDidLoad();
    EXPECT_THAT(log, ElementsAre("load web application", "configure", "activate 1 0", "register",
                                 "activate 1 0"));
    for (auto command : platform::allRemoteCommands) {
        EXPECT_EQ(shell.fakes.commandCenter->commandState(command).handlers, 1u);
    }
}

// Only the session set-up reports its failures, once each time it runs; the view's own
// activation fails silently.
TEST(MainViewControllerTest, OnlyTheSessionSetUpPrintsItsFailuresEachTimeItRuns) {
    for (auto failure : {&FakeAudioSession::failCategory, &FakeAudioSession::failActivation}) {
        Shell shell;
        (*shell.session).*failure = platform::Error{"refused"};
        shell.view.viewDidLoad();
        EXPECT_EQ(shell.fakes.console->lines(), Log(2, "Audio session error: refused"));
        shell.view.viewDidLoad();
        EXPECT_EQ(shell.fakes.console->lines(), Log(3, "Audio session error: refused"));
    }
}

TEST(AppDelegateTest, LaunchesAndReturnsTheProxysAnswersUnchanged) {
    Shell shell;
    auto& delegate = shell.delegate;
    auto& application = shell.application;
    EXPECT_TRUE(delegate.didFinishLaunching(application, std::nullopt));
    EXPECT_TRUE(delegate.didFinishLaunching(application, platform::LaunchOptions{{"url", 1}}));

    EXPECT_TRUE(delegate.openURL(application, "musicshell://album/7", {}));
    EXPECT_FALSE(delegate.openURL(application, "no scheme", {}));

    int restored = 0;
    auto handler = [&](platform::RestoringObjects) { ++restored; };
    EXPECT_TRUE(delegate.continueUserActivity(application, {"browsing", "https://music.example/a"},
                                              handler));
    EXPECT_FALSE(delegate.continueUserActivity(application, {"browsing", std::nullopt}, handler));
    EXPECT_FALSE(delegate.continueUserActivity(application, {"browsing", "no scheme"}, handler));
    EXPECT_EQ(restored, 0) << "the proxy never restores, so neither may the delegate";

    auto events = shell.bridge->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].plugin, "App");
    EXPECT_EQ(events[0].name, "appUrlOpen");
    EXPECT_EQ(events[0].data, JSObject({{"url", "musicshell://album/7"}}));
    EXPECT_EQ(events[1].data, JSObject({{"url", "https://music.example/a"}}));
}

}  // namespace

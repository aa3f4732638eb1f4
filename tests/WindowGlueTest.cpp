// What the window's bridge is made of, in process, so that it runs under every sanitizer: the
// page's requests as the bridge takes them, and the main queue that GTK's main loop turns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <glib.h>

#include <mutex>

#include "Eventually.h"
#include "Fakes/FakeServices.h"
#include "Host/GlibMainQueue.h"
#include "Host/MessageCodec.h"
#include "Host/PageRequests.h"
#include "Platform/SerialQueue.h"

using testing::ElementsAre;

namespace {

// Records the answers, from whichever thread gives them.
class Answers : public CAPCallResponder {
public:
    void respond(const std::string& callbackId, CAPCallResult result) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(host::MessageLine::answerText(callbackId, result));
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST(PageRequestsTest, CallsGoToTheBridgeAndAnythingElseIsAnsweredAtOnce) {
    host::RuntimeClassTable classes;
    FakeServices fakes;
    auto bridge = std::make_shared<host::Bridge>(classes, fakes.services(),
                                                 std::vector<std::string>{"OfflineStoragePlugin"});
    bridge->loadWebApplication();
    host::PageRequests requests(bridge);
    const std::vector<std::pair<std::string, std::string>> table = {
        {"not json", R"({"id":null,"ok":false,"message":"Malformed request: not JSON"})"},
        // A page is no operating system: it cannot stand in for the media keys or quit.
        {R"({"id":1,"host":"quit"})",
         R"({"id":1,"ok":false,"message":"Host requests are not accepted over the bridge"})"},
        {R"({"id":2,"plugin":"Nope","method":"x"})",
         R"({"id":2,"ok":false,"message":"Unknown plugin: Nope"})"},
        {R"({"id":"3","plugin":"OfflineStoragePlugin","method":"readFile","options":{"filename":"../x"}})",
         R"({"id":"3","ok":false,"message":"Invalid filename"})"},
    };
    for (const auto& [message, answer] : table) {
        auto answers = std::make_shared<Answers>();
        requests.handle(message, std::nullopt, answers);
        ASSERT_TRUE(eventually([&] { return !answers->lines().empty(); })) << message;
        EXPECT_THAT(answers->lines(), ElementsAre(answer));
    }
    bridge->stop();
}

TEST(SerialQueueTest, AnotherMainLoopTurnsItWhenWokenUp) {
    SerialQueue queue;
    int wakeUps = 0;
    std::vector<int> ran;
    queue.setWakeUp([&] { ++wakeUps; });
    queue.async([&] { ran.push_back(1); });
    queue.async([&] {
        ran.push_back(2);
        queue.async([&] { ran.push_back(3); });  // queued while running: runs in the same turn
    });
    EXPECT_EQ(wakeUps, 2);
    queue.runPending();
    EXPECT_THAT(ran, ElementsAre(1, 2, 3));
    queue.stop();
    queue.async([&] { ran.push_back(4); });
    queue.runPending();
    EXPECT_EQ(wakeUps, 3);
    EXPECT_THAT(ran, ElementsAre(1, 2, 3));
}

TEST(GlibMainQueueTest, RunsWorkInOrderOnTheLoopAndNoneAfterStop) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    host::GlibMainQueue queue;
    std::vector<int> ran;
    queue.async([&] { ran.push_back(1); });
    std::thread other([&] { queue.async([&] { ran.push_back(2); }); });
    other.join();
    queue.async([&] {
        ran.push_back(3);
        queue.stop();
        queue.async([&] { ran.push_back(4); });
        g_main_loop_quit(loop);
    });
    queue.async([&] { ran.push_back(5); });  // waiting when the queue stopped: dropped
    g_main_loop_run(loop);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    g_main_loop_unref(loop);
    EXPECT_THAT(ran, ElementsAre(1, 2, 3));
}

}  // namespace

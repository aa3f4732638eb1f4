// What the window's bridge is made of, in process, so that it runs under every sanitizer: the
// page's requests as the bridge takes them, and the main queue that GTK's main loop turns.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <glib.h>

#include "Eventually.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeServices.h"
#include "Host/Core/MessageLine.h"
#include "Host/Core/RequestRouter.h"
#include "Host/Window/GlibMainQueue.h"

using testing::ElementsAre;

namespace {

TEST(RequestRouterTest, CallsGoToTheBridgeAndAnythingElseIsAnsweredAtOnce) {
    host::RuntimeClassTable classes;
    FakeServices fakes;
    auto bridge = std::make_shared<host::Bridge>(classes, fakes.services(),
                                                 std::vector<std::string>{"OfflineStoragePlugin"});
    bridge->loadWebApplication();
    host::RequestRouter requests(bridge, nullptr);
    const std::vector<std::pair<std::string, std::string>> table = {
        // A page is no operating system: it cannot stand in for the media keys or quit.
        {R"({"id":1,"host":"quit"})",
         R"({"id":1,"ok":false,"message":"Host requests are not accepted over the bridge"})"},
        {R"({"id":"3","plugin":"OfflineStoragePlugin","method":"readFile","options":{"filename":"../x"}})",
         R"({"id":"3","ok":false,"message":"Invalid filename"})"},
    };
    for (const auto& [message, answer] : table) {
        auto page = std::make_shared<FakeBridge>(fakes.services());
        requests.handle(message, std::nullopt, page);
        ASSERT_TRUE(eventually([&] { return !page->answers().empty(); })) << message;
        auto answers = page->answers();
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(host::MessageLine::answerText(answers[0].first, answers[0].second), answer);
    }
    bridge->stop();
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

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "App/Bridge/CAPPluginCall.h"
#include "Fakes/FakeConsole.h"
#include "Host/MessageCodec.h"

using host::MessageLine;
using host::ParsedRequest;
using host::RequestParser;
using testing::ElementsAre;

namespace {

// Records every answer a call gives.
class RecordingResponder : public CAPCallResponder {
public:
    void respond(const std::string& callbackId, CAPCallResult result) override {
        answers.push_back(MessageLine::answerText(callbackId, result));
    }
    std::vector<std::string> answers;
};

CAPPluginCall makeCall(const std::shared_ptr<RecordingResponder>& responder, JSObject options) {
    return CAPPluginCall("7", "method", std::move(options), responder);
}

TEST(CAPPluginCallTest, AccessorsFollowTheBridgeRules) {
    auto responder = std::make_shared<RecordingResponder>();
    auto call = makeCall(responder, JSObject::parse(R"({
        "text": "hi", "int": 42, "fraction": 1234.56, "negative": -2.7, "huge": 1e300,
        "max": 9223372036854775807, "unsigned": 18446744073709551615, "numeric text": "12",
        "2^63": 9223372036854775808.0, "-2^63": -9223372036854775808.0,
        "below 2^63": 9223372036854774784.0,
        "yes": true, "nothing": null, "list": [1], "object": {}})"));

    EXPECT_EQ(call.getString("text"), "hi");
    for (const char* key : {"int", "yes", "nothing", "list", "object", "absent"}) {
        EXPECT_FALSE(call.getString(key)) << key;
    }

    EXPECT_EQ(call.getInt("int"), 42);
    EXPECT_EQ(call.getInt("fraction"), 1234);  // truncated toward zero, not rounded or dropped
    EXPECT_EQ(call.getInt("negative"), -2);
    EXPECT_EQ(call.getInt("max"), INT64_MAX);
    EXPECT_EQ(call.getInt("-2^63"), INT64_MIN);
    EXPECT_EQ(call.getInt("below 2^63"), 9223372036854774784);
    for (const char* key :
         {"huge", "2^63", "unsigned", "numeric text", "yes", "nothing", "list", "absent"}) {
        EXPECT_FALSE(call.getInt(key)) << key;
    }

    EXPECT_EQ(call.getDouble("int"), 42.0);
    EXPECT_EQ(call.getDouble("fraction"), 1234.56);
    EXPECT_EQ(call.getDouble("huge"), 1e300);
    for (const char* key : {"numeric text", "yes", "nothing", "absent"}) {
        EXPECT_FALSE(call.getDouble(key)) << key;
    }
}

TEST(CAPPluginCallTest, AnsweredExactlyOnceEvenWhenFinishedTwiceOrDropped) {
    auto responder = std::make_shared<RecordingResponder>();
    {
        auto call = makeCall(responder, {});
        auto kept = call;  // a method may keep its call and finish it later
        kept.resolve(JSObject{{"path", "/a"}});
        call.reject("too late");
        call.resolve();
    }
    makeCall(responder, {});  // forgotten by its method: still answered
    EXPECT_THAT(responder->answers,
                ElementsAre(R"({"id":7,"ok":true,"data":{"path":"/a"}})",
                            R"({"id":7,"ok":false,"message":"Call dropped without an answer"})"));
}

// Meaningful under the tsan preset as well: the responder's last id is written without a lock,
// so a second answer racing the first is reported there even when the two never overlap.
TEST(CAPPluginCallTest, TwoThreadsFinishingEachCallAtOnceAnswerItOnce) {
    struct CountingResponder : CAPCallResponder {
        void respond(const std::string& callbackId, CAPCallResult) override {
            lastId = callbackId;
            ++answers;
        }
        std::string lastId;
        std::atomic<int> answers{0};
    };
    auto responder = std::make_shared<CountingResponder>();
    constexpr int rounds = 2000;
    std::vector<CAPPluginCall> calls;
    for (int i = 0; i < rounds; ++i) {
        calls.emplace_back(std::to_string(i), "m", JSObject::object(), responder);
    }
    std::atomic<int> arrived{0};
    auto finishEach = [&](bool resolving) {
        for (int i = 0; i < rounds; ++i) {
            // Both threads reach a call before either finishes it.
            arrived.fetch_add(1);
            while (arrived.load() < 2 * (i + 1)) {
                std::this_thread::yield();
            }
            resolving ? calls[i].resolve() : calls[i].reject("second");
        }
    };
    std::thread other(finishEach, true);
    finishEach(false);
    other.join();
    EXPECT_EQ(responder->answers.load(), rounds);
}

TEST(MessageLineTest, WritesAnswersAndEventsAsOneLineOfJson) {
    EXPECT_EQ(MessageLine::answerText("\"x\"", {true, std::nullopt, {}}),
              R"({"id":"x","ok":true})");
    EXPECT_EQ(MessageLine::answerText("1", {false, std::nullopt, "say \"no\"\n"}),
              R"({"id":1,"ok":false,"message":"say \"no\"\n"})");
    EXPECT_EQ(
        MessageLine::answerText("2", {true, JSObject{{"total", UINT64_MAX}, {"rate", 0.1}}, {}}),
        R"({"id":2,"ok":true,"data":{"rate":0.1,"total":18446744073709551615}})");
    EXPECT_EQ(
        MessageLine::eventText("PlaybackStatusPlugin", "changeTrack",
                               {{"dir", -1}, {"event", "changeTrack"}}),
        R"({"event":"changeTrack","plugin":"PlaybackStatusPlugin","data":{"dir":-1,"event":"changeTrack"}})");
}

TEST(MessageLineTest, LongStringsAreWrittenWholeAndEscapedWhenTheyNeedIt) {
    std::string clean(100000, 'A');
    std::string quoted = std::string(5000, 'b') + "\"\\\x01";
    std::string broken = std::string(5000, 'c') + "\xff";
    JSObject data = {{"clean", clean}, {"quoted", quoted}, {"broken", broken}};
    FakeConsole console;
    MessageLine::printAnswer(console, "1", {true, data, {}});
    ASSERT_EQ(console.lines().size(), 1u);
    auto parsed = JSObject::parse(console.lines()[0]);
    EXPECT_EQ(parsed["data"]["clean"], clean);
    EXPECT_EQ(parsed["data"]["quoted"], quoted);
    EXPECT_EQ(parsed["data"]["broken"], std::string(5000, 'c') + "\xef\xbf\xbd");
}

// A text that fails after its answer has begun must still end as a rejection the client reads,
// never as a success holding part of the text; one that finishes is an ordinary resolution.
TEST(MessageLineTest, AStreamedTextEndsTheAnswerResolvedOrRejectedAsItEnds) {
    auto pieces = [](bool failAtEnd) -> CAPTextSource {
        return [failAtEnd](const std::function<void(std::string_view)>& piece) {
            piece("QUJD");
            piece("REVG");
            return failAtEnd ? std::optional<std::string>("Read failed: Input/output error")
                             : std::nullopt;
        };
    };
    FakeConsole console;
    MessageLine::printStreamedAnswer(console, "7", {JSObject{{"size", 6}}, "data", pieces(false)});
    MessageLine::printStreamedAnswer(console, "8", {JSObject::object(), "data", pieces(true)});
    EXPECT_THAT(
        console.lines(),
        ElementsAre(
            R"({"id":7,"data":{"size":6,"data":"QUJDREVG"},"ok":true})",
            R"({"id":8,"data":{"data":"QUJDREVG"},"ok":false,"message":"Read failed: Input/output error"})"));
    // Transports that send answers whole get the same outcome.
    auto responder = std::make_shared<RecordingResponder>();
    makeCall(responder, {}).resolve(JSObject::object(), "data", pieces(false));
    makeCall(responder, {}).resolve(JSObject::object(), "data", pieces(true));
    EXPECT_THAT(responder->answers,
                ElementsAre(R"({"id":7,"ok":true,"data":{"data":"QUJDREVG"}})",
                            R"({"id":7,"ok":false,"message":"Read failed: Input/output error"})"));
}

TEST(MessageLineTest, LongEventAndPluginNamesAreWrittenWhole) {
    // Names long enough to be borrowed rather than copied into the line.
    std::string name(5000, 'e');
    std::string plugin(4096, 'p');
    EXPECT_EQ(MessageLine::eventText(plugin, name, JSObject::object()),
              R"({"event":")" + name + R"(","plugin":")" + plugin + R"(","data":{}})");
}

ParsedRequest parse(std::string line) {
    RequestParser parser;
    line.reserve(line.size() + RequestParser::padding());
    return parser.parse(std::move(line));
}

TEST(RequestParserTest, ReadsPluginCallsWithTheirOptions) {
    auto parsed = parse(R"({"id": "a1", "plugin": "P", "method": "m",
        "options": {"s": "x\u00e9\"y", "big": 18446744073709551615, "n": -3, "f": 2.5,
                    "beyond": 123456789012345678901234567890, "list": [true, null]}})");
    ASSERT_TRUE(parsed.request) << parsed.error;
    EXPECT_EQ(parsed.request->id, R"("a1")");
    EXPECT_EQ(parsed.request->plugin, "P");
    EXPECT_EQ(parsed.request->method, "m");
    const JSObject& options = parsed.request->options;
    EXPECT_EQ(options["s"], "x\xc3\xa9\"y");
    EXPECT_TRUE(options["big"].is_number_unsigned());
    EXPECT_EQ(options["big"].get<std::uint64_t>(), UINT64_MAX);
    EXPECT_EQ(options["n"], -3);
    EXPECT_EQ(options["f"], 2.5);
    EXPECT_EQ(options["beyond"].get<double>(), 1.2345678901234568e29);
    EXPECT_EQ(options["list"], JSObject::parse("[true, null]"));
}

// Long strings are filled in after the line is read; one that a repeated key dropped, or that
// only served to check the id, must not be written to or read from.
TEST(RequestParserTest, RepeatedKeysKeepTheLastValueWhateverTheEarlierOneWas) {
    const std::string a(5000, 'a');
    const std::string b(6000, 'b');
    const std::string c(4096, 'c');
    auto quoted = [](const std::string& text) { return '"' + text + '"'; };
    struct Case {
        std::string options;
        JSObject expected;
    };
    const std::vector<Case> cases = {
        {R"({"data":")" + a + R"(","data":"short"})", {{"data", "short"}}},
        {R"({"data":")" + a + R"(","data":")" + b + R"("})", {{"data", b}}},
        {R"({"data":")" + b + R"(","data":")" + a + R"(","x":")" + c + R"("})",
         {{"data", a}, {"x", c}}},
        {R"({"o":{"x":")" + a + R"(","y":[")" + b + R"("]},"o":1,"z":")" + c + R"("})",
         {{"o", 1}, {"z", c}}},
    };
    for (const Case& each : cases) {
        auto parsed = parse(R"({"id":1,"plugin":"P","method":"m","options":)" + each.options + "}");
        ASSERT_TRUE(parsed.request) << parsed.error;
        EXPECT_EQ(parsed.request->options, each.expected) << each.options.substr(0, 40);
    }

    // At the top level: a long id, and repeated plugin, method and options.
    auto parsed = parse(R"({"id":")" + a + R"(","plugin":")" + b + R"(","plugin":"P","method":")" +
                        c + R"(","method":"m","options":{"s":")" + b + R"("},"options":{"s":")" +
                        c + R"("},"extra":")" + a + R"("})");
    ASSERT_TRUE(parsed.request) << parsed.error;
    EXPECT_EQ(parsed.request->id, quoted(a));
    EXPECT_EQ(parsed.request->plugin, "P");
    EXPECT_EQ(parsed.request->method, "m");
    EXPECT_EQ(parsed.request->options, JSObject({{"s", c}}));
    EXPECT_EQ(parsed.request->members["extra"], a);
}

}  // namespace

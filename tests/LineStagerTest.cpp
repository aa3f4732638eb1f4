#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "App/Bridge/Base64.h"
#include "Fakes/FakeFileSystem.h"
#include "Host/Stdio/LineStager.h"

using host::LineStager;

namespace {

constexpr std::size_t threshold = 64;

struct NoResponder : CAPCallResponder {
    void respond(const std::string&, CAPCallResult) override {}
};

std::string randomBytes(std::size_t size) {
    std::mt19937 generator(static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    std::ranges::generate(bytes, [&] { return static_cast<char>(generator()); });
    return bytes;
}

std::string writeLine(const std::string& data) {
    return R"({"id":1,"plugin":"P","method":"m","options":{"filename":"a","data":")" + data +
           R"("}})";
}

class LineStagerTest : public testing::Test {
protected:
    std::unique_ptr<LineStager> fed(std::string_view line, std::size_t pieceSize) {
        auto stager = std::make_unique<LineStager>(files, threshold);
        for (std::size_t at = 0; at < line.size(); at += pieceSize) {
            stager->add(line.substr(at, pieceSize));
        }
        return stager;
    }

    host::Request parsed(std::string line) {
        line.reserve(line.size() + host::RequestParser::padding());
        auto result = host::RequestParser().parse(std::move(line));
        EXPECT_TRUE(result.request) << result.error;
        return result.request.value_or(host::Request{});
    }

    // The request `line` makes, fed `pieceSize` bytes at a time, and what the stager carried out.
    std::pair<host::Request, std::optional<host::RequestRouter::Carried>> staged(
        const std::string& line, std::size_t pieceSize = 100) {
        auto stager = fed(line, pieceSize);
        auto request = parsed(stager->takeLine());
        stager->settle(request);
        return {std::move(request), stager->takeCarried()};
    }

    FakeFileSystem files;
};

// Whatever the pieces, and even under an option named by the empty string. While the value is
// carried its staged file is the only copy: the request keeps nothing of it.
TEST_F(LineStagerTest, AnOptionInBase64IsStagedWhateverThePiecesAndStillReadsAsItsText) {
    for (std::size_t size : {300, 299, 298}) {
        std::string text = base64::encode(randomBytes(size));
        for (std::size_t pieceSize : {1, 2, 3, 5, 64}) {
            SCOPED_TRACE(std::to_string(size) + " bytes in pieces of " + std::to_string(pieceSize));
            auto [request, carried] = staged(writeLine(text), pieceSize);
            ASSERT_TRUE(carried);
            EXPECT_EQ(std::tuple(request.options, files.staging(), carried->key,
                                 carried->payload.base64Text().value()),
                      std::tuple(JSObject{{"filename", "a"}}, 1, "data", text));
        }
    }
    std::string bytes = randomBytes(3000);
    std::string text = base64::encode(bytes);
    auto carried = staged(R"({"plugin":"P","method":"m","options":{"":")" + text + R"("}})").second;
    EXPECT_EQ(carried.value().key, "");

    // A method that takes no bytes reads the option as its text.
    auto [request, forText] = staged(writeLine(text));
    CAPPluginCall call("1", request.method, request.options, std::make_shared<NoResponder>());
    call.attachPayload(std::move(forText->key), std::move(forText->payload));
    call.settlePayload(std::nullopt);
    EXPECT_EQ(call.getString("data"), text);
    EXPECT_FALSE(call.takePayload("data"));

    files.folder("/c/Documents");
    ASSERT_FALSE(staged(writeLine(text)).second->payload.placeAt(files, "/c/Documents/a"));
    EXPECT_EQ(files.contents("/c/Documents/a"), bytes);
    carried.reset();
    EXPECT_EQ(files.staging(), 0);
}

// A value staged as it came in but no option, as a host request's member, gets its text back.
TEST_F(LineStagerTest, EverythingElseIsKeptExactlyAsItCameAndAReplacedStagedOptionIsDropped) {
    std::string text = base64::encode(randomBytes(300));
    std::string head = text.substr(0, 200);
    std::string noFill = text.substr(0, 396) + "AB==";
    const std::vector<std::string> lines = {
        R"({"id":")" + text + R"(","plugin":"P","method":"m","options":{}})",
        R"({"plugin":"P","method":"m","options":{")" + text + R"(":1}})",
        R"({"plugin":"P","method":"m","options":{"list":[")" + text + R"("]}})",
        R"({"plugin":"P","method":"m","options":{"a":{"b":")" + text + R"("}}})",
        writeLine(R"(\/)" + text),
        writeLine(text + R"(\/AAA)"),
        writeLine(text + R"(\"AAAA)"),
        writeLine(text + R"(\\)"),
        writeLine(head + "=" + head),
        writeLine(noFill),
        writeLine(text + "A"),
        writeLine(text + "*AAA"),
        R"({"plugin":"P","method":"m","options":{"data":")" + text,
    };
    for (const auto& line : lines) {
        for (std::size_t pieceSize : {1, 7, 4096}) {
            SCOPED_TRACE(line.substr(0, 80) + " in pieces of " + std::to_string(pieceSize));
            EXPECT_EQ(fed(line, pieceSize)->takeLine(), line);
        }
    }
    std::string hostLine = R"({"host":"h","a":{"b":")" + text + R"("}})";
    EXPECT_EQ(staged(hostLine, 10).first.members, parsed(hostLine).members);
    std::string repeated =
        writeLine(text).substr(0, writeLine(text).size() - 2) + R"(,"data":"x"}})";
    auto [request, carried] = staged(repeated, 10);
    EXPECT_EQ(std::tuple(carried.has_value(), request.options["data"], files.staging()),
              std::tuple(false, "x", 0));
    // A disk that fills up half-way, and one where nothing can be staged at all.
    for (auto failing : {FakeFileSystem::Operation::append, FakeFileSystem::Operation::stage}) {
        files.fail(failing, "No space left on device");
        EXPECT_EQ(fed(writeLine(text), 100)->takeLine(), writeLine(text));
        EXPECT_EQ(files.staging(), 0);
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <fstream>

#include "Host/FileReply.h"
#include "Host/WebAccess.h"
#include "TemporaryDirectory.h"

using host::FileReply;
using host::ServedFile;

namespace {

class FileReplyTest : public testing::Test {
protected:
    void SetUp() override { std::ofstream(directory / "ten") << "0123456789"; }

    FileReply plan(FileReply::Conditions conditions) {
        auto file = ServedFile::open(directory / "ten");
        EXPECT_TRUE(file);
        return FileReply::plan(*file, "text/plain", conditions);
    }

    static std::string header(const FileReply& reply, std::string_view name) {
        for (const auto& [field, value] : reply.headers) {
            if (field == name) {
                return value;
            }
        }
        return "(none)";
    }

    TemporaryDirectory directory;
};

TEST_F(FileReplyTest, OneRangeIsServedAndTheRestGetTheWholeFile) {
    struct Case {
        std::string_view range;
        int status;
        std::string contentRange;
        std::uint64_t first;
        std::uint64_t length;
    };
    const Case cases[] = {
        {"bytes=2-5", 206, "bytes 2-5/10", 2, 4},
        {"bytes=7-", 206, "bytes 7-9/10", 7, 3},
        {"bytes=8-400", 206, "bytes 8-9/10", 8, 2},
        {"bytes=-3", 206, "bytes 7-9/10", 7, 3},
        {"bytes=-30", 206, "bytes 0-9/10", 0, 10},
        {"bytes=9-9", 206, "bytes 9-9/10", 9, 1},
        {"bytes=0-99999999999999999999999", 206, "bytes 0-9/10", 0, 10},
        {"bytes=10-", 416, "bytes */10", 0, 0},
        {"bytes=99999999999999999999999-", 416, "bytes */10", 0, 0},
        {"bytes=-0", 416, "bytes */10", 0, 0},
        // Several ranges, or none that parses: the whole file, as if no Range had come.
        {"bytes=0-1,4-5", 200, "(none)", 0, 10},
        {"bytes=5-2", 200, "(none)", 0, 10},
        {"bytes=a-b", 200, "(none)", 0, 10},
        {"bytes=2-5x", 200, "(none)", 0, 10},
        {"bytes=-", 200, "(none)", 0, 10},
        {"bytes=+1-2", 200, "(none)", 0, 10},
        {"items=2-5", 200, "(none)", 0, 10},
    };
    for (const auto& expected : cases) {
        FileReply reply = plan({.range = expected.range});
        EXPECT_EQ(reply.status, expected.status) << expected.range;
        EXPECT_EQ(header(reply, "Content-Range"), expected.contentRange) << expected.range;
        EXPECT_EQ(reply.first, expected.first) << expected.range;
        EXPECT_EQ(reply.length, expected.length) << expected.range;
        EXPECT_EQ(header(reply, "Content-Length"), std::to_string(expected.length))
            << expected.range;
    }
}

TEST_F(FileReplyTest, ValidatorsAndHeadDecideBetweenNothingAPartAndTheWhole) {
    FileReply whole = plan({});
    std::string tag = header(whole, "ETag");
    EXPECT_EQ(header(whole, "Accept-Ranges"), "bytes");
    EXPECT_EQ(header(whole, "Cache-Control"), "no-cache");
    EXPECT_EQ(header(whole, "Content-Type"), "text/plain");
    EXPECT_EQ(header(whole, "X-Content-Type-Options"), "nosniff");

    for (std::string list : {tag, "\"other\", W/" + tag, std::string("*")}) {
        FileReply unchanged = plan({.ifNoneMatch = list});
        EXPECT_EQ(unchanged.status, 304) << list;
        EXPECT_EQ(unchanged.length, 0u) << list;
        EXPECT_EQ(header(unchanged, "Content-Length"), "(none)") << list;
    }
    EXPECT_EQ(plan({.ifNoneMatch = "\"other\""}).status, 200);
    EXPECT_EQ(plan({.range = "bytes=2-5", .ifRange = tag}).status, 206);
    // A range of another version would splice two versions together.
    EXPECT_EQ(plan({.range = "bytes=2-5", .ifRange = "\"old\""}).status, 200);

    FileReply head = plan({.headOnly = true, .range = "bytes=2-5"});
    EXPECT_EQ(head.status, 206);
    EXPECT_EQ(header(head, "Content-Length"), "4") << "HEAD announces the length, sends nothing";
    EXPECT_EQ(head.length, 0u);

    std::ofstream(directory / "ten") << "changed";
    EXPECT_NE(plan({}).headers, whole.headers) << "a rewritten file has a new tag";
}

TEST(PercentDecoding, DecodesEscapesAndRefusesBrokenOnes) {
    EXPECT_EQ(host::web_access::percentDecoded("/my%20song.mp3"), "/my song.mp3");
    EXPECT_EQ(host::web_access::percentDecoded("/%2e%2E/%2f%25"), "/..//%");
    EXPECT_EQ(host::web_access::percentDecoded("/a%00b"), std::string("/a\0b", 4));
    for (std::string_view broken : {"/%", "/%2", "/%zz", "/%-1", "/a%2"}) {
        EXPECT_EQ(host::web_access::percentDecoded(broken), std::nullopt) << broken;
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "Host/Web/FileReply.h"
#include "Host/Web/LogThrottle.h"
#include "Host/Web/WebAccess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
namespace web_access = host::web_access;
using host::FileReply;
using host::ServedFile;
using namespace std::chrono_literals;

namespace {

// Only the server's own names with its own port, as a browser sends them: anything else is a
// rebound DNS name, another site, or another server on this machine.
TEST(WebAccessTest, HostAndOriginMustNameThisServer) {
    // Its own hosts, its own origins, and neither: the right port with the wrong host, the right
    // host with the wrong port or scheme, and more.
    const std::vector<std::string_view> lists[] = {
        {"127.0.0.1:8080", "localhost:8080"},
        {"http://127.0.0.1:8080", "http://localhost:8080"},
        {"evil.example:8080", "http://evil.example:8080", "http://127.0.0.1.evil.example:8080",
         "http://127.0.0.1:80801", "127.0.0.1:8081", "127.0.0.1", "https://127.0.0.1:8080",
         "http://127.0.0.1:8080/", "null", ""}};
    for (int list = 0; list < 3; ++list) {
        for (std::string_view text : lists[list]) {
            EXPECT_EQ(web_access::isOwnHost(text, 8080), list == 0) << text;
            EXPECT_EQ(web_access::isOwnOrigin(text, 8080), list == 1) << text;
        }
    }
}

TEST(WebAccessTest, CookiesAndQueryParametersAreFoundByTheirWholeName) {
    using Found = std::optional<std::string>;
    EXPECT_EQ(web_access::cookie("musicshell=abc", "musicshell"), Found("abc"));
    EXPECT_EQ(web_access::cookie("a=1; musicshell=abc; b=2", "musicshell"), Found("abc"));
    EXPECT_EQ(web_access::cookie("a=1;musicshell=x=y", "musicshell"), Found("x=y"));
    EXPECT_EQ(web_access::cookie("musicshell=", "musicshell"), Found(""));
    // A longer or shorter name that merely starts or ends alike is another cookie.
    EXPECT_EQ(web_access::cookie("musicshellx=abc; xmusicshell=def", "musicshell"), Found());
    EXPECT_EQ(web_access::cookie("musicshel=abc; musicshell", "musicshell"), Found());
    EXPECT_EQ(web_access::cookie("", "musicshell"), Found());
    EXPECT_EQ(web_access::queryParameter("token=abc&x=1", "token"), Found("abc"));
    EXPECT_EQ(web_access::queryParameter("x=1&token=abc", "token"), Found("abc"));
    EXPECT_EQ(web_access::queryParameter("tokens=abc&atoken=def", "token"), Found());
    EXPECT_EQ(web_access::queryParameter("x=1; token=abc", "token"), Found());
}

TEST(WebAccessTest, SecretsMatchOnlyWhole) {
    EXPECT_TRUE(web_access::sameSecret("0123abcd", "0123abcd"));
    for (std::string_view other :
         {"0123abce", "1123abcd", "0123abc", "0123abcdd", "", "0123ABCD"}) {
        EXPECT_FALSE(web_access::sameSecret(other, "0123abcd")) << other;
        EXPECT_FALSE(web_access::sameSecret("0123abcd", other)) << other;
    }
    std::string token = web_access::randomToken();
    EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{32}"))) << token;
    EXPECT_NE(token, web_access::randomToken());
    // Both digits of each byte are random: 16 pairs all alike would mean a lost digit.
    EXPECT_FALSE(std::regex_match(token, std::regex("((.)\\2)+"))) << token;
}

// Request paths a hostile page or client may send: nothing outside the application's folder,
// whatever the path says or the links inside it point at.
TEST(WebAccessTest, StaticFilesStayInsideTheApplicationFolder) {
    TemporaryDirectory directory;
    fs::path root = directory / "app";
    fs::create_directories(root / "tracks");
    std::ofstream(root / "index.html") << "index";
    std::ofstream(root / "tracks" / "a.wav") << "a";
    std::ofstream(directory / "secret") << "secret";
    fs::create_symlink(directory / "secret", root / "link-out");
    fs::create_symlink(directory.path(), root / "folder-out");
    fs::create_symlink(root / "tracks" / "a.wav", root / "link-in");

    const std::vector<std::pair<std::string, fs::path>> found = {
        {"/", root / "index.html"},
        {"/index.html", root / "index.html"},
        {"/tracks/a.wav", root / "tracks" / "a.wav"},
        {"//tracks//a.wav", root / "tracks" / "a.wav"},
        {"/link-in", root / "tracks" / "a.wav"},
    };
    for (const auto& [path, file] : found) {
        EXPECT_EQ(web_access::staticFile(root, path), file) << path;
    }
    // A folder without an index among them.
    for (const std::string& path : std::vector<std::string>{
             "/tracks/", "/missing", "/../secret", "/tracks/../../secret", "/./index.html",
             "/%2e%2e/secret", "/tracks\\..\\..\\secret", "/link-out", "/folder-out/secret",
             "index.html", "", std::string("/index.html\0.png", 16)}) {
        EXPECT_EQ(web_access::staticFile(root, path), std::nullopt) << path;
    }
    EXPECT_EQ(web_access::contentType("a.wav"), "audio/wav");
    EXPECT_EQ(web_access::contentType("page.HTML"), "application/octet-stream");
    EXPECT_EQ(web_access::contentType("script.js"), "text/javascript; charset=utf-8");
}

class FileReplyTest : public testing::Test {
protected:
    void SetUp() override { std::ofstream(directory / "ten") << "0123456789"; }

    FileReply plan(FileReply::Conditions conditions) {
        auto file = ServedFile::open(directory / "ten");
        EXPECT_TRUE(file);
        return FileReply::plan(*file, "text/plain", conditions);
    }

    static std::string header(const FileReply& reply, std::string_view name) {
        auto found =
            std::ranges::find(reply.headers, name, &std::pair<std::string, std::string>::first);
        return found == reply.headers.end() ? "(none)" : found->second;
    }

    TemporaryDirectory directory;
};

TEST_F(FileReplyTest, OneRangeIsServedAndTheRestGetTheWholeFile) {
    using Reply = std::tuple<int, std::string, std::uint64_t, std::uint64_t>;
    std::vector<std::pair<std::string_view, Reply>> cases = {
        {"bytes=2-5", {206, "bytes 2-5/10", 2, 4}},
        {"bytes=7-", {206, "bytes 7-9/10", 7, 3}},
        {"bytes=8-400", {206, "bytes 8-9/10", 8, 2}},
        {"bytes=-3", {206, "bytes 7-9/10", 7, 3}},
        {"bytes=-30", {206, "bytes 0-9/10", 0, 10}},
        {"bytes=9-9", {206, "bytes 9-9/10", 9, 1}},
        {"bytes=0-99999999999999999999999", {206, "bytes 0-9/10", 0, 10}},
        {"bytes=10-", {416, "bytes */10", 0, 0}},
        {"bytes=99999999999999999999999-", {416, "bytes */10", 0, 0}},
        {"bytes=-0", {416, "bytes */10", 0, 0}},
    };
    // Several ranges, or none that parses: the whole file, as if no Range had come.
    for (std::string_view range : {"bytes=0-1,4-5", "bytes=5-2", "bytes=a-b", "bytes=2-5x",
                                   "bytes=-", "bytes=+1-2", "items=2-5"}) {
        cases.push_back({range, {200, "(none)", 0, 10}});
    }
    for (const auto& [range, expected] : cases) {
        FileReply reply = plan({.range = range});
        EXPECT_EQ(Reply(reply.status, header(reply, "Content-Range"), reply.first, reply.length),
                  expected)
            << range;
        EXPECT_EQ(header(reply, "Content-Length"), std::to_string(reply.length)) << range;
    }
}

TEST_F(FileReplyTest, ValidatorsAndHeadDecideBetweenNothingAPartAndTheWhole) {
    FileReply whole = plan({});
    std::string tag = header(whole, "ETag");
    EXPECT_EQ(std::tuple(header(whole, "Accept-Ranges"), header(whole, "Cache-Control"),
                         header(whole, "Content-Type"), header(whole, "X-Content-Type-Options")),
              std::tuple("bytes", "no-cache", "text/plain", "nosniff"));

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

    // HEAD announces the length and sends nothing.
    FileReply head = plan({.headOnly = true, .range = "bytes=2-5"});
    EXPECT_EQ(std::tuple(head.status, header(head, "Content-Length"), head.length),
              std::tuple(206, "4", 0u));

    std::ofstream(directory / "ten") << "changed";
    EXPECT_NE(plan({}).headers, whole.headers) << "a rewritten file has a new tag";
}

TEST(PercentDecoding, DecodesEscapesAndRefusesBrokenOnes) {
    EXPECT_EQ(web_access::percentDecoded("/my%20song.mp3"), "/my song.mp3");
    EXPECT_EQ(web_access::percentDecoded("/%2e%2E/%2f%25"), "/..//%");
    EXPECT_EQ(web_access::percentDecoded("/a%00b"), std::string("/a\0b", 4));
    for (std::string_view broken : {"/%", "/%2", "/%zz", "/%-1", "/a%2"}) {
        EXPECT_EQ(web_access::percentDecoded(broken), std::nullopt) << broken;
    }
}

TEST(LogThrottleTest, LetsAFewLinesThroughEachIntervalAndCountsTheRest) {
    auto now = std::chrono::steady_clock::time_point{};
    host::LogThrottle throttle(2, 1s, [&] { return now; });
    auto admitted = [&](int lines) {
        std::vector<std::string> through;
        for (int i = 0; i < lines; ++i) {
            if (auto line = throttle.admit("line " + std::to_string(i))) {
                through.push_back(*line);
            }
        }
        return through;
    };

    EXPECT_EQ(admitted(5), (std::vector<std::string>{"line 0", "line 1"}));
    now += 999ms;
    EXPECT_TRUE(admitted(1).empty());
    now += 1ms;  // a new interval: the first line through says what was held back
    EXPECT_EQ(admitted(3), (std::vector<std::string>{"line 0 [4 like it held back]", "line 1"}));
    now += 10s;
    EXPECT_EQ(admitted(1), (std::vector<std::string>{"line 0 [1 like it held back]"}));
    EXPECT_EQ(admitted(1), (std::vector<std::string>{"line 0"}));
}

}  // namespace

#include <gtest/gtest.h>

#include <fstream>

#include "Host/WebAccess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
namespace web_access = host::web_access;

namespace {

// Only the server's own names with its own port, as a browser sends them: anything else is a
// rebound DNS name, another site, or another server on this machine.
TEST(WebAccessTest, HostAndOriginMustNameThisServer) {
    struct Case {
        std::string_view text;
        bool host;
        bool origin;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1:8080", true, false},
        {"localhost:8080", true, false},
        {"http://127.0.0.1:8080", false, true},
        {"http://localhost:8080", false, true},
        {"evil.example:8080", false, false},  // right port, wrong host
        {"http://evil.example:8080", false, false},
        {"http://127.0.0.1.evil.example:8080", false, false},
        {"http://127.0.0.1:80801", false, false},
        {"127.0.0.1:8081", false, false},
        {"127.0.0.1", false, false},
        {"https://127.0.0.1:8080", false, false},
        {"http://127.0.0.1:8080/", false, false},
        {"null", false, false},
        {"", false, false},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(web_access::isOwnHost(each.text, 8080), each.host) << each.text;
        EXPECT_EQ(web_access::isOwnOrigin(each.text, 8080), each.origin) << each.text;
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
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    EXPECT_NE(token, web_access::randomToken());
    // Both digits of each byte are random: 16 pairs all alike would mean a lost digit.
    bool pairsDiffer = false;
    for (std::size_t i = 0; i < token.size(); i += 2) {
        pairsDiffer |= token[i] != token[i + 1];
    }
    EXPECT_TRUE(pairsDiffer) << token;
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

    const std::vector<std::pair<std::string, std::optional<fs::path>>> cases = {
        {"/", root / "index.html"},
        {"/index.html", root / "index.html"},
        {"/tracks/a.wav", root / "tracks" / "a.wav"},
        {"//tracks//a.wav", root / "tracks" / "a.wav"},
        {"/link-in", root / "tracks" / "a.wav"},
        {"/tracks/", std::nullopt},  // a folder without an index
        {"/missing", std::nullopt},
        {"/../secret", std::nullopt},
        {"/tracks/../../secret", std::nullopt},
        {"/./index.html", std::nullopt},
        {"/%2e%2e/secret", std::nullopt},
        {"/tracks\\..\\..\\secret", std::nullopt},
        {"/link-out", std::nullopt},
        {"/folder-out/secret", std::nullopt},
        {std::string("/index.html\0.png", 16), std::nullopt},
        {"index.html", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(web_access::staticFile(root, path), expected) << path;
    }
    EXPECT_EQ(web_access::contentType("a.wav"), "audio/wav");
    EXPECT_EQ(web_access::contentType("page.HTML"), "application/octet-stream");
    EXPECT_EQ(web_access::contentType("script.js"), "text/javascript; charset=utf-8");
}

}  // namespace

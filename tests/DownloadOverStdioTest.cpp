#include <gtest/gtest.h>

#include <csignal>

#include "FileContents.h"
#include "LoopbackServer.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace {

// The built host against a loopback server whose "/held" holds its body until released.
class DownloadOverStdioTest : public testing::Test {
protected:
    void SetUp() override {
        held.holdAt = 0;
        held.serve(server.routes(), "/held");
        server.start();
    }

    void TearDown() override {
        held.open();
        server.stop();
    }

    static Json download(const Json& id, const std::string& method, Json options) {
        return ShellProcess::request(id, "DownloadPlugin", method, std::move(options));
    }

    TemporaryDirectory directory;
    fs::path container = directory / "c";
    RangedBody held;
    LoopbackServer server;
};

// Answers come as the transfers end, matched by id. The opener reads from standard input, prints,
// and lists the descriptors and the signals it ignores: it steals no request, writes nothing among
// the answers, sees nothing of the shell's but its log, and has the signals the shell ignores at
// their defaults. (Its mask cannot be seen from a shell script: the shell clears it.)
TEST_F(DownloadOverStdioTest, AnswersComeLaterByIdAndTheOpenerSharesNothingWithTheShell) {
    fs::path opener = directory / "opener";
    std::ofstream(opener) << "#!/bin/sh\ncat\necho opener says hello\ncd '"
                          << directory.path().string()
                          << "'\nls /proc/self/fd > fds\nreadlink /proc/self/fd/0 >> fds\n"
                             "grep SigIgn /proc/$$/status > signals\n";
    fs::permissions(opener, fs::perms::owner_all);
    ShellProcess shell{{"stdio", "--container", container.string(), "--opener", opener.string()}};
    shell.sendJson(
        download("file", "downloadFile", {{"url", server.url("/held")}, {"fileName", "held.bin"}}));
    shell.sendJson(download("package", "downloadAndInstall", {{"url", server.url("/held")}}));
    // Requests that follow are answered while both transfers wait.
    EXPECT_EQ(shell.call({{"id", "after"}, {"host", "audioSession"}})["ok"], true);
    EXPECT_TRUE(shell.messages.empty());

    held.open();
    std::map<std::string, Json> answers;
    while (answers.size() < 2) {
        auto answer = shell.nextAnswer();
        ASSERT_TRUE(answer) << shell.standardError();
        answers[(*answer)["id"]] = *answer;
    }
    EXPECT_EQ(answers["file"],
              Json({{"id", "file"},
                    {"ok", true},
                    {"data", {{"path", (container / "Documents/Downloads/held.bin").string()}}}}));
    EXPECT_EQ(answers["package"], Json({{"id", "package"}, {"ok", true}}));
    EXPECT_TRUE(shell.otherLines.empty());
    EXPECT_NE(shell.standardError().find("opener says hello\n"), std::string::npos);
    EXPECT_EQ(readWhole(directory / "fds"), "0\n1\n2\n3\n/dev/null\n");
    std::string ignored = readWhole(directory / "signals");
    EXPECT_EQ(std::stoull(ignored.substr(ignored.find(':') + 1), nullptr, 16) &
                  (1ULL << (SIGINT - 1) | 1ULL << (SIGTERM - 1) | 1ULL << (SIGPIPE - 1)),
              0U)
        << ignored;
}

TEST_F(DownloadOverStdioTest, QuittingAbandonsTheDownloadInFlightAndEndOfInputWaitsForIt) {
    for (int number : {0, SIGINT, SIGTERM}) {
        ShellProcess quitting{{"stdio", "--container", container.string()}};
        quitting.sendJson(download(1, "downloadFile", {{"url", server.url("/held")}}));
        quitting.call({{"id", 2}, {"host", "audioSession"}});
        number ? quitting.signal(number) : quitting.send(R"({"host":"quit"})");
        EXPECT_EQ(quitting.wait(), 0) << number;
        EXPECT_FALSE(quitting.next()) << number;
        EXPECT_TRUE(fs::is_empty(container / "tmp"));
        EXPECT_FALSE(fs::exists(container / "Documents/Downloads/audio.mp3"));
    }
    held.open();
    ShellProcess ending{{"stdio", "--container", container.string()}};
    ending.sendJson(download(1, "downloadFile", {{"url", server.url("/held")}}));
    ending.closeInput();
    EXPECT_EQ(ending.wait(), 0);
    EXPECT_EQ(ending.nextAnswer().value()["ok"], true);
    EXPECT_EQ(readWhole(container / "Documents/Downloads/audio.mp3"), held.bytes(0));
}

TEST_F(DownloadOverStdioTest, TheDownloadLimitsAreSetOnTheCommandLine) {
    ShellProcess shell{{"stdio", "--container", container.string(), "--download-stall-seconds", "1",
                        "--max-download-bytes", "1000"}};
    auto failure = [&](const std::string& path) {
        return shell.call(download(path, "downloadFile", {{"url", server.url(path)}}))["message"];
    };
    EXPECT_EQ(failure("/held"),
              "Download failed: Operation too slow. Less than 1024 bytes/sec "
              "transferred the last 1 seconds");
    held.open();  // then more than the limit, with no length announced
    EXPECT_EQ(failure("/held?chunked"), "Download failed: Larger than the limit of 1000 bytes");
}

}  // namespace

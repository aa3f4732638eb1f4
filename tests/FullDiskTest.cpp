#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <fstream>

#include "App/Bridge/Base64.h"
#include "FileContents.h"
#include "LoopbackServer.h"
#include "ShellProcess.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;

namespace {

// The shell on a container that lives on an 8 MiB tmpfs, for the test's life. Mounting needs root;
// elsewhere the test is skipped.
class FullDiskTest : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(mountPoint);
        mounted =
            ::geteuid() == 0 && ::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=8m") == 0;
        if (!mounted) {
            GTEST_SKIP() << "needs root to mount a tmpfs";
        }
    }
    void TearDown() override {
        if (mounted) {
            ::umount(mountPoint.c_str());
        }
    }

    TemporaryDirectory directory;
    fs::path mountPoint = directory / "tmpfs";
    bool mounted = false;
};

// Downloads keep a twentieth of the volume free, also when the body's length is not announced and
// when several run at once. Once the test has filled the volume to the last byte, a write is
// refused clearly and the file it would have replaced is kept.
TEST_F(FullDiskTest, DownloadsLeaveTheMarginFreeAndAWriteOnAFullVolumeLosesNothing) {
    fs::path container = mountPoint / "c";
    RangedBody big, held;
    big.size = 9'000'000;
    held.size = 1000 << 10;
    held.holdAt = 1 << 16;
    LoopbackServer server;
    server.routes().new_task_queue = [] { return new httplib::ThreadPool(16); };
    big.serve(server.routes(), "/big");
    held.serve(server.routes(), "/held");
    server.start();
    ShellProcess shell{{"stdio", "--container", container.string()}};
    auto download = [&](const Json& id, const std::string& path) {
        shell.sendJson(ShellProcess::request(id, "DownloadPlugin", "downloadFile",
                                             {{"url", server.url(path)}, {"fileName", id.dump()}}));
    };
    const std::string refused = "Download failed: Not enough free space";
    for (std::string path : {"/big", "/big?chunked"}) {
        download(1, path);
        EXPECT_EQ(shell.nextAnswer().value_or(Json()),
                  Json({{"id", 1}, {"ok", false}, {"message", refused}}))
            << path;
    }

    constexpr int count = 8;
    for (int id = 0; id < count; ++id) {
        download(id, id % 2 ? "/held" : "/held?chunked");
    }
    // Every transfer looks at free space before any of them fills it: each has begun, and has
    // stored the start of its body or been refused, before the rest of the bodies is sent.
    EXPECT_TRUE(eventually([&] {
        std::lock_guard lock(held.mutex);
        std::error_code gone;
        return held.seen.size() == count &&
               std::ranges::none_of(fs::directory_iterator(container / "tmp"),
                                    [&](const auto& entry) { return entry.file_size(gone) == 0; });
    }));
    held.open();
    int stored = 0;
    for (int answered = 0; answered < count; ++answered) {
        Json answer = shell.nextAnswer().value_or(Json::object());
        stored += answer["ok"] == true;
        EXPECT_TRUE(answer["ok"] == true || answer["message"] == refused) << answer;
    }
    EXPECT_GE(stored, 1);
    struct statvfs volume {};
    ASSERT_EQ(::statvfs(mountPoint.c_str(), &volume), 0);
    EXPECT_GE(std::uint64_t{volume.f_bavail} * volume.f_frsize, (8u << 20) / 20);
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(container / "tmp"), {}), 0);

    const std::string kept(100000, 'k');
    ASSERT_EQ(
        shell.store("writeFile", {{"filename", "kept.bin"}, {"data", base64::encode(kept)}})["ok"],
        true);
    for (std::ofstream filler(mountPoint / "filler");
         filler << std::string(4096, 'f') << std::flush;) {
    }
    EXPECT_EQ(
        shell.store("writeFile",
                    {{"filename", "kept.bin"}, {"data", base64::encode(std::string(200000, 'n'))}}),
        Json({{"id", 1}, {"ok", false}, {"message", "Write failed: No space left on device"}}));
    EXPECT_EQ(readWhole(container / "Library/Application Support/offline/kept.bin"), kept);
    EXPECT_EQ(shell.store("listFiles")["data"]["files"], Json({"kept.bin"}));
}

}  // namespace

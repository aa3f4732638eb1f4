#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>

#include "FileContents.h"
#include "Platform/Desktop/DesktopFileSystem.h"
#include "StorageCalls.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using Method = StorageCalls::Method;

namespace {

// Whoever can write into the container can plant links and special files, which only a real disk
// has. Each threat is met with an answer, at once, and nothing outside is read, written or removed.
class ContainerEdgeTest : public testing::Test, public StorageCalls {
protected:
    void SetUp() override {
        fs::create_directories(outside);
        std::ofstream(outside / "secret") << "outside";
        install();
        fs::create_directories(store());
    }

    void install() {
        ASSERT_FALSE(DesktopFileSystem::install(root));
        open(std::make_shared<DesktopFileSystem>(root));
    }

    void TearDown() override {
        EXPECT_EQ(entries(outside).size(), 1u);
        EXPECT_EQ(readWhole(outside / "secret"), "outside");
    }

    // Answers the call, or fails the test when it does not answer in time; a call stuck on a pipe
    // is freed by opening the pipe's other end.
    CAPCallResult answered(Method method, JSObject options, const fs::path& pipe = {}) {
        auto pending = std::async(std::launch::async, [&] { return call(method, options); });
        if (pending.wait_for(std::chrono::seconds(10)) == std::future_status::timeout) {
            ADD_FAILURE() << "the call hangs";
            ::close(::open(pipe.c_str(), O_WRONLY | O_NONBLOCK));
        }
        return pending.get();
    }

    fs::path store() const { return root / "Library/Application Support/offline"; }

    TemporaryDirectory directory;
    fs::path root = directory / "c";
    fs::path outside = directory / "outside";
};

TEST_F(ContainerEdgeTest, LinksAndSpecialFilesInTheStoreAreTakenForWhatTheyAre) {
    fs::create_symlink(outside / "secret", store() / "link");
    fs::create_symlink(directory / "nowhere", store() / "dangling");
    fs::create_symlink("/dev/zero", store() / "zero");
    ASSERT_EQ(::mkfifo((store() / "pipe").c_str(), 0600), 0);
    fs::create_directory(store() / "folder");
    fs::create_directory_symlink(outside, store() / "folder" / "out");
    write("file", "mine");
    // A link to a file outside, to nothing, to an endless device; a pipe that nobody writes; a
    // folder holding a link to a folder outside.
    for (const char* name : {"link", "dangling", "zero", "pipe", "folder"}) {
        bool folder = name == std::string_view("folder");
        JSObject options = {{"filename", name}};
        EXPECT_EQ(answered("readFile", options, store() / name).message,
                  folder ? "Read failed: Is a directory" : "Read failed: Not a regular file");
        EXPECT_EQ(answered("fileExists", options).data->at("exists"), folder) << name;
        // Removing a link removes the link, whatever it names.
        EXPECT_EQ(answered("deleteFile", options).data->at("success"), true) << name;
        EXPECT_EQ(fs::symlink_status(store() / name).type(), fs::file_type::not_found) << name;
    }
    fs::create_symlink(outside / "secret", store() / "link");
    write("link", "new");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(store() / "link")));
    EXPECT_EQ(read("link"), "new");
}

// One row a method: a link further up the way is met by the same walk.
TEST_F(ContainerEdgeTest, ALinkWhereAFolderOfTheContainerStandsIsNeverFollowed) {
    const JSObject name = {{"filename", "secret"}}, none = JSObject::object();
    const JSObject data = {{"filename", "secret"}, {"data", "aGk="}};
    const std::string store = "Library/Application Support/offline";
    const std::vector<std::tuple<std::string, Method, JSObject, std::string>> cases = {
        {store, "writeFile", data, "Write failed: "},
        {store, "readFile", name, "Read failed: "},
        {store, "deleteFile", name, ""},
        {store, "fileExists", name, ""},
        {store, "listFiles", none, ""},
        {store, "getStorageInfo", none, ""},
        {"tmp/offline_temp", "writeTempFile", data, "Temp write failed: "},
        {"tmp/offline_temp", "cleanTempFiles", none, ""},
        {"Library/Application Support", "getDeviceId", none, ""},
    };
    int fresh = 0;
    for (const auto& [folder, method, options, prefix] : cases) {
        root = directory / ("c" + std::to_string(++fresh));
        install();
        fs::remove_all(root / folder);
        fs::create_directories((root / folder).parent_path());
        fs::create_directory_symlink(outside, root / folder);
        EXPECT_EQ(answered(method, options).message,
                  prefix + folder + " is a symbolic link, not a folder");
    }
}

}  // namespace

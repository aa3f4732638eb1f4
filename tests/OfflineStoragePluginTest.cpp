#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>

#include "App/Bridge/Base64.h"
#include "App/Bridge/CAPPluginClass.h"
#include "App/Storage/OfflineStoragePlugin.h"
#include "Fakes/FakeBridge.h"
#include "Fakes/FakeFileSystem.h"
#include "Fakes/FakeServices.h"
#include "FileContents.h"
#include "TemporaryDirectory.h"

namespace fs = std::filesystem;
using testing::MatchesRegex;
using P = OfflineStoragePlugin;
using Method = void (P::*)(const CAPPluginCall&);
using Failing = FakeFileSystem::Operation;

namespace {

// The plugin on the real file system of a container in a temporary folder.
class OfflineStoragePluginTest : public testing::Test {
protected:
    void SetUp() override {
        files = std::make_shared<FakeFileSystem>(root);
        ASSERT_FALSE(DesktopFileSystem::install(root));
        auto services = fakes.services();
        services.fileSystem = files;
        bridge = std::make_shared<FakeBridge>(services);
        plugin = std::static_pointer_cast<P>(
            createPlugin<P>(bridge, "OfflineStoragePlugin", "OfflineStoragePlugin"));
    }

    CAPCallResult call(Method method, JSObject options = JSObject::object()) {
        std::size_t before = bridge->answers().size();
        CAPPluginCall pluginCall("1", "m", std::move(options), bridge);
        // As the bridge does before these methods run: their "data" is a payload.
        bool takesBytes = method == &P::writeFile || method == &P::writeTempFile;
        pluginCall.settlePayload(takesBytes ? std::optional<std::string_view>("data")
                                            : std::nullopt);
        ((*plugin).*method)(pluginCall);
        auto answers = bridge->answers();
        EXPECT_EQ(answers.size(), before + 1) << "answered exactly once";
        return answers.back().second;
    }

    JSObject resolved(Method method, JSObject options = JSObject::object()) {
        auto result = call(method, std::move(options));
        EXPECT_TRUE(result.resolved) << result.message;
        return result.data.value_or(JSObject());
    }

    std::string rejected(Method method, JSObject options = JSObject::object()) {
        auto result = call(method, std::move(options));
        EXPECT_FALSE(result.resolved);
        return result.message;
    }

    JSObject write(const std::string& name, std::string_view bytes) {
        return resolved(&P::writeFile, {{"filename", name}, {"data", base64::encode(bytes)}});
    }

    std::string read(const std::string& name) {
        std::string text = resolved(&P::readFile, {{"filename", name}})["data"];
        return base64::decode(text).value_or("(not base64)");
    }

    JSObject temporary(std::string_view bytes = "hi") {
        return resolved(&P::writeTempFile, {{"data", base64::encode(bytes)}});
    }

    fs::path store() const { return root / "Library/Application Support/offline"; }
    fs::path scratch() const { return root / "tmp/offline_temp"; }
    fs::path deviceIdFile() const { return root / "Library/Application Support/device_id.txt"; }

    TemporaryDirectory directory;
    fs::path root = directory / "c";
    FakeServices fakes;
    std::shared_ptr<FakeFileSystem> files;
    std::shared_ptr<FakeBridge> bridge;
    std::shared_ptr<P> plugin;
};

// Missing arguments, bad data, and names that would reach outside the store or at the store
// itself: all refused before the disk is touched.
TEST_F(OfflineStoragePluginTest, RefusesBadArgumentsBeforeTouchingTheDisk) {
    std::vector<std::tuple<Method, JSObject, std::string>> cases = {
        {&P::writeFile, {{"data", "aGk="}}, "filename and data required"},
        {&P::writeFile, {{"filename", "a"}}, "filename and data required"},
        {&P::writeFile, {{"filename", "a"}, {"data", "aGk=\n"}}, "filename and data required"},
        {&P::writeFile, {{"filename", 7}, {"data", "aGk="}}, "filename and data required"},
        {&P::readFile, JSObject::object(), "filename required"},
        {&P::deleteFile, JSObject::object(), "filename required"},
        {&P::fileExists, JSObject::object(), "filename required"},
        {&P::writeTempFile, JSObject::object(), "data required"},
        {&P::writeTempFile, {{"data", "not base64"}}, "data required"},
        {&P::writeTempFile, {{"data", "aGk="}, {"extension", "x/y"}}, "Invalid extension"},
        {&P::writeTempFile,
         {{"data", "aGk="}, {"extension", std::string("mp3\0x", 5)}},
         "Invalid extension"},
    };
    const std::vector<std::string> names = {
        "", ".", "..", "../victim", "a/b", "/etc/passwd", std::string("a\0b", 3)};
    for (const std::string& name : names) {
        for (Method method : {&P::readFile, &P::deleteFile, &P::fileExists, &P::writeFile}) {
            cases.push_back({method, {{"filename", name}, {"data", "aGk="}}, "Invalid filename"});
        }
    }
    for (const auto& [method, options, message] : cases) {
        EXPECT_EQ(rejected(method, options), message) << options.dump();
    }
    EXPECT_FALSE(fs::exists(root / "Library/Application Support"));
    EXPECT_FALSE(fs::exists(scratch()));
}

// A file is read and encoded in pieces as the answer goes out: pieces join up into one text, and a
// read that fails after the first piece ends the call rejected, never resolved with part of it.
TEST_F(OfflineStoragePluginTest, FilesAreWrittenWholeAndReadBackWholeOrNotAtAll) {
    std::string song((std::size_t{5} << 20) + 7, '\0');
    for (std::size_t i = 0; i < song.size(); ++i) {
        song[i] = static_cast<char>(i * 131 >> 3);
    }
    EXPECT_EQ(write("song.mp3", song)["path"], (store() / "song.mp3").string());
    EXPECT_EQ(read("song.mp3"), song);
    write("song.mp3", "new");
    EXPECT_EQ(readWhole(store() / "song.mp3"), "new");
    write("empty", "");
    EXPECT_EQ(resolved(&P::readFile, {{"filename", "empty"}})["data"], "");
    write("song.mp3", song);
    files->fail(Failing::readOnward, "Input/output error");
    EXPECT_EQ(rejected(&P::readFile, {{"filename", "song.mp3"}}),
              "Read failed: Input/output error");
}

TEST_F(OfflineStoragePluginTest, ReadDeleteExistsAndListFollowWhatIsOnDisk) {
    auto exists = [&](const char* name) {
        return resolved(&P::fileExists, {{"filename", name}})["exists"];
    };
    auto deleted = [&](const char* name) {
        return resolved(&P::deleteFile, {{"filename", name}})["success"];
    };
    auto listed = [&] { return resolved(&P::listFiles)["files"].get<std::vector<std::string>>(); };
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(rejected(&P::readFile, {{"filename", "never"}}), "File not found");
    EXPECT_EQ(exists("never"), false);
    write("gone", "x");
    write(".hidden", "x");
    fs::create_directories(store() / "folder");
    EXPECT_EQ(exists("folder"), true);
    EXPECT_THAT(listed(), testing::UnorderedElementsAre("gone", ".hidden", "folder"));
    EXPECT_EQ(deleted("gone"), true);
    EXPECT_EQ(deleted("gone"), false);
    EXPECT_FALSE(fs::exists(store() / "gone"));

    files->fail(Failing::remove, "Operation not permitted");
    EXPECT_EQ(deleted(".hidden"), false);
    files->fail(Failing::list, "Permission denied");
    EXPECT_TRUE(listed().empty());
    files->heal();
    // A store removed from outside is made again.
    fs::remove_all(root / "Library/Application Support");
    EXPECT_TRUE(listed().empty());
    write("again", "3");
    EXPECT_EQ(read("again"), "3");
}

TEST_F(OfflineStoragePluginTest, TemporaryFilesAreUniquelyNamedInTheScratchFolder) {
    auto first = temporary();
    std::string path = first["filePath"];
    EXPECT_NE(path, temporary()["filePath"]);
    EXPECT_EQ(fs::path(path).parent_path(), scratch());
    EXPECT_EQ(first["path"], "file://" + path);
    EXPECT_EQ(readWhole(path), "hi");
    EXPECT_THAT(fs::path(path).filename().string(),
                MatchesRegex("temp_[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{"
                             "12}\\.mp3"));

    // Other extensions are used unchanged; the file URL escapes all but unreserved characters
    // and "/".
    const std::vector<std::tuple<std::string, std::string, std::string>> extensions = {
        {".tar.gz", "..tar.gz", "..tar.gz"},
        {"", ".", "."},
        {"a b%#\xc3\xa9~", ".a b%#\xc3\xa9~", ".a%20b%25%23%C3%A9~"},
    };
    for (const auto& [extension, ending, escaped] : extensions) {
        auto written = resolved(&P::writeTempFile, {{"data", ""}, {"extension", extension}});
        std::string file = written["filePath"];
        ASSERT_TRUE(file.ends_with(ending)) << file;
        EXPECT_EQ(written["path"],
                  "file://" + file.substr(0, file.size() - ending.size()) + escaped);
    }
    files->fail(Failing::writeAtomically, "Read-only file system");
    EXPECT_EQ(rejected(&P::writeTempFile, {{"data", "aGk="}}),
              "Temp write failed: Read-only file system");
}

TEST_F(OfflineStoragePluginTest, CleaningEmptiesTheScratchFolderAndCountsRemovals) {
    auto deleted = [&] { return resolved(&P::cleanTempFiles)["deleted"]; };
    EXPECT_EQ(deleted(), 0);
    temporary();
    temporary();
    temporary();
    fs::create_directories(scratch() / "nested/deeper");
    EXPECT_EQ(deleted(), 4);
    EXPECT_TRUE(fs::is_empty(scratch()));
    temporary();
    files->fail(Failing::remove, "Device or resource busy");
    EXPECT_EQ(deleted(), 0);
}

TEST_F(OfflineStoragePluginTest, StorageFiguresCountOnlyTheStore) {
    EXPECT_EQ(resolved(&P::getStorageInfo)["used"], 0u);
    write("hundred", std::string(100, 'x'));
    temporary(std::string(5000, 'y'));
    resolved(&P::getDeviceId);
    fs::create_directories(store() / "sub");
    std::ofstream(store() / "sub" / "inner") << std::string(7000, 'z');
    // A name that is not UTF-8 could not be sent back to reach its file: it is counted, not listed.
    std::ofstream(store() / "bad\xff\xfename") << std::string(20, 'b');
    EXPECT_THAT(resolved(&P::listFiles)["files"], testing::UnorderedElementsAre("hundred", "sub"));
    files->fixedFigures = platform::FileSystemFigures{UINT64_MAX, 9000000000000000000u};
    EXPECT_EQ(resolved(&P::getStorageInfo),
              JSObject({{"total", UINT64_MAX}, {"free", 9000000000000000000u}, {"used", 120u}}));
    EXPECT_EQ(resolved(&P::getFreeSpace), JSObject({{"bytes", 9000000000000000000u}}));

    files->fail(Failing::figures, "Input/output error");
    EXPECT_EQ(rejected(&P::getStorageInfo), "Unable to read storage info");
    EXPECT_EQ(rejected(&P::getFreeSpace), "Unable to read free space");
}

TEST_F(OfflineStoragePluginTest, TheDeviceIdentifierIsMadeOnceAndKept) {
    auto identifier = [&] { return resolved(&P::getDeviceId)["deviceId"].get<std::string>(); };
    std::string first = identifier();
    EXPECT_THAT(first, MatchesRegex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"));
    EXPECT_EQ(readWhole(deviceIdFile()), first);
    EXPECT_EQ(identifier(), first);

    // What the file holds, trimmed of every kind of blank; blank text or text that is not UTF-8
    // counts as none, and a new identifier replaces it.
    const std::vector<std::pair<std::string, std::string>> contents = {
        {"  kept-as-is \n", "kept-as-is"},
        {"id\r\n", "id"},
        {"\t\vid\f", "id"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        // No-break and ideographic spaces, line and paragraph separators, the next-line character.
        {"\u00A0\u3000\t id\u2003kept \u2028\u2029\u0085\u202F\u205F\u1680\u200A\n",
         "id\u2003kept"},
        // Only blanks of the set: a character that merely shares bytes with one stays.
        {"\u00E2\u2000x\u3001", "\u00E2\u2000x\u3001"},
        {" \n\t", ""},
        {"\xff\xfe", ""},
        {"\xed\xa0\x80", ""},      // a surrogate
        {"\xc0\xaf", ""},          // an overlong "/"
        {"\xf4\x90\x80\x80", ""},  // beyond U+10FFFF
    };
    for (const auto& [content, expected] : contents) {
        std::ofstream(deviceIdFile()) << content;
        std::string given = identifier();
        EXPECT_EQ(given, expected.empty() ? readWhole(deviceIdFile()) : expected) << content;
        EXPECT_EQ(given.size() == 36, expected.empty()) << content;
    }

    // When it cannot be stored it is still given, and the next call makes another.
    fs::remove(deviceIdFile());
    files->fail(Failing::writeAtomically, "Read-only file system");
    EXPECT_NE(identifier(), identifier());
}

// Whoever can write into the container can plant links and special files in it. Each threat is
// met with an answer, at once, and nothing outside the container is read, written or removed.
class ContainerEdgeTest : public OfflineStoragePluginTest {
protected:
    void SetUp() override {
        OfflineStoragePluginTest::SetUp();
        fs::create_directories(outside);
        std::ofstream(outside / "secret") << "outside";
        fs::create_directories(store());
    }

    void TearDown() override {
        EXPECT_EQ(std::distance(fs::directory_iterator(outside), {}), 1);
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
        EXPECT_EQ(answered(&P::readFile, options, store() / name).message,
                  folder ? "Read failed: Is a directory" : "Read failed: Not a regular file");
        EXPECT_EQ(answered(&P::fileExists, options).data->at("exists"), folder) << name;
        // Removing a link removes the link, whatever it names.
        EXPECT_EQ(answered(&P::deleteFile, options).data->at("success"), true) << name;
        EXPECT_EQ(fs::symlink_status(store() / name).type(), fs::file_type::not_found) << name;
    }
    // Only the regular file counts toward the store's size.
    EXPECT_EQ(resolved(&P::getStorageInfo)["used"], 4u);
    // Writing over a link replaces the link.
    fs::create_symlink(outside / "secret", store() / "link");
    write("link", "new");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(store() / "link")));
    EXPECT_EQ(read("link"), "new");
}

TEST_F(ContainerEdgeTest, ALinkWhereAFolderOfTheContainerStandsIsNeverFollowed) {
    const JSObject name = {{"filename", "secret"}}, none = JSObject::object();
    const JSObject data = {{"filename", "secret"}, {"data", "aGk="}};
    const std::string store = "Library/Application Support/offline";
    const std::vector<std::tuple<std::string, Method, JSObject, std::string>> cases = {
        {store, &P::writeFile, data, "Write failed: "},
        {store, &P::readFile, name, "Read failed: "},
        {store, &P::deleteFile, name, ""},
        {store, &P::fileExists, name, ""},
        {store, &P::listFiles, none, ""},
        {store, &P::getStorageInfo, none, ""},
        {"tmp/offline_temp", &P::writeTempFile, data, "Temp write failed: "},
        {"tmp/offline_temp", &P::cleanTempFiles, none, ""},
        {"tmp", &P::writeTempFile, data, "Temp write failed: "},
        {"Library/Application Support", &P::getDeviceId, none, ""},
        {"Library/Application Support", &P::writeFile, data, "Write failed: "},
        {"Library", &P::readFile, name, "Read failed: "},
    };
    int fresh = 0;
    for (const auto& [folder, method, options, prefix] : cases) {
        root = directory / ("c" + std::to_string(++fresh));
        OfflineStoragePluginTest::SetUp();
        fs::remove_all(root / folder);
        fs::create_directories((root / folder).parent_path());
        fs::create_directory_symlink(outside, root / folder);
        EXPECT_EQ(answered(method, options).message,
                  prefix + folder + " is a symbolic link, not a folder");
    }
}

}  // namespace

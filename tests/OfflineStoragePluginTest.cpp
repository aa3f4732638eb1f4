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
using testing::UnorderedElementsAre;
using Method = void (OfflineStoragePlugin::*)(const CAPPluginCall&);

namespace {

// The plugin on the real file system of a container in a temporary folder.
class OfflineStoragePluginTest : public testing::Test {
protected:
    void SetUp() override {
        if (root.empty()) {
            root = directory / "c";
        }
        files = std::make_shared<FakeFileSystem>(root);
        ASSERT_FALSE(DesktopFileSystem::install(root));
        auto services = fakes.services();
        services.fileSystem = files;
        bridge = std::make_shared<FakeBridge>(services);
        plugin = std::static_pointer_cast<OfflineStoragePlugin>(createPlugin<OfflineStoragePlugin>(
            bridge, "OfflineStoragePlugin", "OfflineStoragePlugin"));
    }

    CAPCallResult call(Method method, JSObject options = JSObject::object()) {
        std::size_t before = bridge->answers().size();
        ((*plugin).*method)(CAPPluginCall("1", "m", std::move(options), bridge));
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
        return resolved(&OfflineStoragePlugin::writeFile,
                        {{"filename", name}, {"data", base64::encode(bytes)}});
    }

    std::string read(const std::string& name) {
        return *base64::decode(
            resolved(&OfflineStoragePlugin::readFile, {{"filename", name}})["data"]
                .get<std::string>());
    }

    fs::path store() const { return root / "Library/Application Support/offline"; }
    fs::path scratch() const { return root / "tmp/offline_temp"; }

    TemporaryDirectory directory;
    fs::path root;
    FakeServices fakes;
    std::shared_ptr<FakeFileSystem> files;
    std::shared_ptr<FakeBridge> bridge;
    std::shared_ptr<OfflineStoragePlugin> plugin;
};

TEST_F(OfflineStoragePluginTest, WritesReadsAndReplacesWholeFiles) {
    EXPECT_EQ(write("song.mp3", "first content")["path"], (store() / "song.mp3").string());
    EXPECT_EQ(read("song.mp3"), "first content");
    write("song.mp3", "new");
    EXPECT_EQ(read("song.mp3"), "new");
    EXPECT_EQ(readWhole(store() / "song.mp3"), "new");

    write("empty", "");
    EXPECT_EQ(resolved(&OfflineStoragePlugin::readFile, {{"filename", "empty"}})["data"], "");
    // Text already in canonical form comes back unchanged.
    resolved(&OfflineStoragePlugin::writeFile, {{"filename", "hi"}, {"data", "aGk="}});
    EXPECT_EQ(resolved(&OfflineStoragePlugin::readFile, {{"filename", "hi"}})["data"], "aGk=");
}

TEST_F(OfflineStoragePluginTest, RefusesMissingArgumentsAndBadDataBeforeTouchingTheDisk) {
    using P = OfflineStoragePlugin;
    EXPECT_EQ(rejected(&P::writeFile, {{"data", "aGk="}}), "filename and data required");
    EXPECT_EQ(rejected(&P::writeFile, {{"filename", "a"}}), "filename and data required");
    EXPECT_EQ(rejected(&P::writeFile, {{"filename", "a"}, {"data", "aGk=\n"}}),
              "filename and data required");
    EXPECT_EQ(rejected(&P::writeFile, {{"filename", 7}, {"data", "aGk="}}),
              "filename and data required");
    EXPECT_EQ(rejected(&P::readFile), "filename required");
    EXPECT_EQ(rejected(&P::deleteFile), "filename required");
    EXPECT_EQ(rejected(&P::fileExists), "filename required");
    EXPECT_FALSE(fs::exists(store()));
}

// Names that would reach outside the store, or at the store itself.
TEST_F(OfflineStoragePluginTest, RefusesEveryNameThatIsNotOneFileOfTheStore) {
    using P = OfflineStoragePlugin;
    write("victim", "keep me");
    const std::vector<std::string> names = {
        "", ".", "..", "../victim", "a/b", "/etc/passwd", std::string("a\0b", 3)};
    for (const std::string& name : names) {
        EXPECT_EQ(rejected(&P::writeFile, {{"filename", name}, {"data", "aGk="}}),
                  "Invalid filename");
        EXPECT_EQ(rejected(&P::readFile, {{"filename", name}}), "Invalid filename");
        EXPECT_EQ(rejected(&P::deleteFile, {{"filename", name}}), "Invalid filename");
        EXPECT_EQ(rejected(&P::fileExists, {{"filename", name}}), "Invalid filename");
    }
    EXPECT_EQ(read("victim"), "keep me");
    EXPECT_TRUE(fs::is_directory(store()));
    EXPECT_FALSE(fs::exists(root / "Library/Application Support/a"));
}

// A file is read and encoded in pieces as the answer goes out: pieces join up into one text, and a
// read that fails after the first piece ends the call rejected, never resolved with part of it.
TEST_F(OfflineStoragePluginTest, AFileReadInPiecesComesBackWholeOrNotAtAll) {
    std::string song;
    for (std::size_t i = 0; i < (std::size_t{5} << 20) + 7; ++i) {
        song += static_cast<char>(i * 131 >> 3);
    }
    write("song.mp3", song);
    EXPECT_EQ(read("song.mp3"), song);
    files->fail(FakeFileSystem::Operation::readOnward, "Input/output error");
    EXPECT_EQ(rejected(&OfflineStoragePlugin::readFile, {{"filename", "song.mp3"}}),
              "Read failed: Input/output error");
}

TEST_F(OfflineStoragePluginTest, ReadDeleteAndExistsFollowWhatIsOnDisk) {
    using P = OfflineStoragePlugin;
    EXPECT_EQ(rejected(&P::readFile, {{"filename", "never"}}), "File not found");
    fs::create_directories(store() / "folder");
    EXPECT_EQ(rejected(&P::readFile, {{"filename", "folder"}}), "Read failed: Is a directory");
    EXPECT_EQ(resolved(&P::fileExists, {{"filename", "folder"}})["exists"], true);
    EXPECT_EQ(resolved(&P::fileExists, {{"filename", "never"}})["exists"], false);

    write("gone", "x");
    EXPECT_EQ(resolved(&P::deleteFile, {{"filename", "gone"}})["success"], true);
    EXPECT_EQ(resolved(&P::deleteFile, {{"filename", "gone"}})["success"], false);
    EXPECT_FALSE(fs::exists(store() / "gone"));

    write("stuck", "x");
    files->fail(FakeFileSystem::Operation::remove, "Operation not permitted");
    EXPECT_EQ(resolved(&P::deleteFile, {{"filename", "stuck"}})["success"], false);
}

TEST_F(OfflineStoragePluginTest, ListsEveryEntryAndRemakesAStoreRemovedFromOutside) {
    using P = OfflineStoragePlugin;
    EXPECT_EQ(resolved(&P::listFiles)["files"], JSObject::array());
    EXPECT_TRUE(fs::is_directory(store()));
    write("a.mp3", "1");
    write(".hidden", "2");
    fs::create_directory(store() / "sub");
    EXPECT_THAT(resolved(&P::listFiles)["files"].get<std::vector<std::string>>(),
                UnorderedElementsAre("a.mp3", ".hidden", "sub"));

    fs::remove_all(root / "Library/Application Support");
    EXPECT_EQ(resolved(&P::listFiles)["files"], JSObject::array());
    write("again", "3");
    EXPECT_EQ(read("again"), "3");

    files->fail(FakeFileSystem::Operation::list, "Permission denied");
    EXPECT_EQ(resolved(&P::listFiles)["files"], JSObject::array());
}

TEST_F(OfflineStoragePluginTest, TemporaryFilesAreUniquelyNamedInTheScratchFolder) {
    using P = OfflineStoragePlugin;
    EXPECT_EQ(rejected(&P::writeTempFile), "data required");
    EXPECT_EQ(rejected(&P::writeTempFile, {{"data", "not base64"}}), "data required");
    for (const std::string& extension : {std::string("x/y"), std::string("mp3\0/x", 6)}) {
        EXPECT_EQ(rejected(&P::writeTempFile, {{"data", "aGk="}, {"extension", extension}}),
                  "Invalid extension");
    }
    EXPECT_FALSE(fs::exists(scratch()));

    auto first = resolved(&P::writeTempFile, {{"data", "aGk="}});
    auto second = resolved(&P::writeTempFile, {{"data", "aGk="}});
    std::string path = first["filePath"];
    EXPECT_NE(path, second["filePath"]);
    EXPECT_EQ(fs::path(path).parent_path(), scratch());
    EXPECT_TRUE(path.starts_with("/"));
    EXPECT_EQ(first["path"], "file://" + path);
    EXPECT_EQ(readWhole(path), "hi");
    std::string name = fs::path(path).filename();
    EXPECT_TRUE(testing::Matches(testing::MatchesRegex(
        "temp_[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\\.mp3"))(name))
        << name;

    std::string dotted =
        resolved(&P::writeTempFile, {{"data", ""}, {"extension", ".tar.gz"}})["filePath"];
    EXPECT_TRUE(dotted.ends_with("..tar.gz"));
    std::string bare = resolved(&P::writeTempFile, {{"data", ""}, {"extension", ""}})["filePath"];
    EXPECT_TRUE(bare.ends_with("."));
    // The file URL escapes all but unreserved characters and "/".
    auto odd = resolved(&P::writeTempFile, {{"data", ""}, {"extension", "a b%#\xc3\xa9~"}});
    std::string oddPath = odd["filePath"];
    EXPECT_TRUE(oddPath.ends_with(".a b%#\xc3\xa9~"));
    EXPECT_EQ(odd["path"],
              "file://" + oddPath.substr(0, oddPath.size() - 8) + "a%20b%25%23%C3%A9~");

    files->fail(FakeFileSystem::Operation::writeAtomically, "Read-only file system");
    EXPECT_EQ(rejected(&P::writeTempFile, {{"data", "aGk="}}),
              "Temp write failed: Read-only file system");
}

TEST_F(OfflineStoragePluginTest, CleaningEmptiesTheScratchFolderAndCountsRemovals) {
    using P = OfflineStoragePlugin;
    EXPECT_EQ(resolved(&P::cleanTempFiles)["deleted"], 0);
    for (int i = 0; i < 3; ++i) {
        resolved(&P::writeTempFile, {{"data", "aGk="}});
    }
    fs::create_directories(scratch() / "nested/deeper");
    EXPECT_EQ(resolved(&P::cleanTempFiles)["deleted"], 4);
    EXPECT_TRUE(fs::is_directory(scratch()));
    EXPECT_TRUE(fs::is_empty(scratch()));

    resolved(&P::writeTempFile, {{"data", "aGk="}});
    files->fail(FakeFileSystem::Operation::remove, "Device or resource busy");
    EXPECT_EQ(resolved(&P::cleanTempFiles)["deleted"], 0);
}

TEST_F(OfflineStoragePluginTest, StorageFiguresCountOnlyTheStore) {
    using P = OfflineStoragePlugin;
    auto empty = resolved(&P::getStorageInfo);
    EXPECT_EQ(empty["used"], 0u);
    EXPECT_TRUE(empty["total"].is_number_unsigned());
    EXPECT_GE(empty["total"].get<std::uint64_t>(), empty["free"].get<std::uint64_t>());

    write("hundred", std::string(100, 'x'));
    resolved(&P::writeTempFile, {{"data", base64::encode(std::string(5000, 'y'))}});
    resolved(&P::getDeviceId);
    fs::create_directories(store() / "sub");
    std::ofstream(store() / "sub" / "inner") << std::string(7000, 'z');
    EXPECT_EQ(resolved(&P::getStorageInfo)["used"], 100u);

    files->fixedFigures = platform::FileSystemFigures{UINT64_MAX, 9000000000000000000u};
    EXPECT_EQ(resolved(&P::getStorageInfo),
              JSObject({{"total", UINT64_MAX}, {"free", 9000000000000000000u}, {"used", 100u}}));
    EXPECT_EQ(resolved(&P::getFreeSpace), JSObject({{"bytes", 9000000000000000000u}}));

    files->fail(FakeFileSystem::Operation::figures, "Input/output error");
    EXPECT_EQ(rejected(&P::getStorageInfo), "Unable to read storage info");
    EXPECT_EQ(rejected(&P::getFreeSpace), "Unable to read free space");
}

TEST_F(OfflineStoragePluginTest, TheDeviceIdentifierIsMadeOnceAndKept) {
    using P = OfflineStoragePlugin;
    fs::path file = root / "Library/Application Support/device_id.txt";
    ASSERT_FALSE(fs::exists(file.parent_path()));
    std::string identifier = resolved(&P::getDeviceId)["deviceId"];
    EXPECT_TRUE(testing::Matches(
        testing::MatchesRegex("[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"))(identifier));
    EXPECT_EQ(readWhole(file), identifier);
    EXPECT_EQ(resolved(&P::getDeviceId)["deviceId"], identifier);

    // What the file holds, trimmed; blank text or text that is not UTF-8 counts as none, and
    // a new identifier replaces it.
    const std::vector<std::pair<std::string, std::string>> contents = {
        {"  kept-as-is \n", "kept-as-is"},
        {"id\r\n", "id"},
        {"\t\vid\f", "id"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {" \n\t", ""},
        {"\xff\xfe", ""},
        {"\xed\xa0\x80", ""},      // a surrogate
        {"\xc0\xaf", ""},          // an overlong "/"
        {"\xf4\x90\x80\x80", ""},  // beyond U+10FFFF
    };
    for (const auto& [content, expected] : contents) {
        std::ofstream(file) << content;
        std::string given = resolved(&P::getDeviceId)["deviceId"];
        if (expected.empty()) {
            EXPECT_EQ(given.size(), 36u) << content;
            EXPECT_EQ(readWhole(file), given) << content;
        } else {
            EXPECT_EQ(given, expected) << content;
        }
    }

    fs::remove(file);
    std::string fresh = resolved(&P::getDeviceId)["deviceId"];
    EXPECT_EQ(readWhole(file), fresh);

    // When it cannot be stored it is still given, and the next call makes another.
    fs::remove(file);
    files->fail(FakeFileSystem::Operation::writeAtomically, "Read-only file system");
    std::string unsaved = resolved(&P::getDeviceId)["deviceId"];
    EXPECT_NE(resolved(&P::getDeviceId)["deviceId"], unsaved);
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

    void expectOutsideUntouched() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(outside)) {
            names.push_back(entry.path().filename());
        }
        EXPECT_EQ(names, std::vector<std::string>{"secret"});
        EXPECT_EQ(readWhole(outside / "secret"), "outside");
    }

    // Puts a link to the outside folder where a folder of the container stands.
    void linkFolder(const std::string& folder) {
        fs::remove_all(root / folder);
        fs::create_directories((root / folder).parent_path());
        fs::create_directory_symlink(outside, root / folder);
    }

    fs::path outside = directory / "outside";
};

TEST_F(ContainerEdgeTest, LinksAndSpecialFilesInTheStoreAreTakenForWhatTheyAre) {
    using P = OfflineStoragePlugin;
    fs::create_symlink(outside / "secret", store() / "link");
    fs::create_symlink(directory / "nowhere", store() / "dangling");
    fs::create_symlink("/dev/zero", store() / "zero");
    ASSERT_EQ(::mkfifo((store() / "pipe").c_str(), 0600), 0);
    write("file", "mine");

    struct Row {
        std::string threat, name, readAnswer;
        bool exists;
    };
    const std::vector<Row> rows = {
        {"a link to a file outside", "link", "Read failed: Not a regular file", false},
        {"a link to nothing", "dangling", "Read failed: Not a regular file", false},
        {"a link to an endless device", "zero", "Read failed: Not a regular file", false},
        {"a pipe that nobody writes", "pipe", "Read failed: Not a regular file", false},
        {"a folder", "folder", "Read failed: Is a directory", true},
    };
    fs::create_directory(store() / "folder");
    for (const auto& row : rows) {
        auto read = answered(&P::readFile, {{"filename", row.name}}, store() / row.name);
        EXPECT_FALSE(read.resolved) << row.threat;
        EXPECT_EQ(read.message, row.readAnswer) << row.threat;
        EXPECT_EQ(answered(&P::fileExists, {{"filename", row.name}}).data->at("exists"), row.exists)
            << row.threat;
    }
    // Only the regular file counts toward the store's size.
    EXPECT_EQ(resolved(&P::getStorageInfo)["used"], 4u);
    // Removing a link removes the link, whatever it names; writing over one replaces the link.
    for (const auto& row : rows) {
        EXPECT_EQ(answered(&P::deleteFile, {{"filename", row.name}}).data->at("success"), true)
            << row.threat;
        EXPECT_EQ(fs::symlink_status(store() / row.name).type(), fs::file_type::not_found)
            << row.threat;
    }
    fs::create_symlink(outside / "secret", store() / "link");
    write("link", "new");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(store() / "link")));
    EXPECT_EQ(read("link"), "new");
    expectOutsideUntouched();
    EXPECT_TRUE(fs::exists("/dev/zero"));
}

TEST_F(ContainerEdgeTest, ALinkWhereAFolderOfTheContainerStandsIsNeverFollowed) {
    using P = OfflineStoragePlugin;
    const JSObject name = {{"filename", "secret"}};
    const JSObject data = {{"filename", "secret"}, {"data", "aGk="}};
    struct Row {
        std::string folder;
        Method method;
        JSObject options;
        std::string answer;
    };
    const std::string store = "Library/Application Support/offline";
    const std::string linked = store + " is a symbolic link, not a folder";
    const std::string temporary = "tmp/offline_temp is a symbolic link, not a folder";
    const std::vector<Row> rows = {
        {store, &P::writeFile, data, "Write failed: " + linked},
        {store, &P::readFile, name, "Read failed: " + linked},
        {store, &P::deleteFile, name, linked},
        {store, &P::fileExists, name, linked},
        {store, &P::listFiles, JSObject::object(), linked},
        {store, &P::getStorageInfo, JSObject::object(), linked},
        {"tmp/offline_temp",
         &P::writeTempFile,
         {{"data", "aGk="}},
         "Temp write failed: " + temporary},
        {"tmp/offline_temp", &P::cleanTempFiles, JSObject::object(), temporary},
        {"tmp",
         &P::writeTempFile,
         {{"data", "aGk="}},
         "Temp write failed: tmp is a symbolic link, not a folder"},
        {"Library/Application Support", &P::getDeviceId, JSObject::object(),
         "Library/Application Support is a symbolic link, not a folder"},
        {"Library/Application Support", &P::writeFile, data,
         "Write failed: Library/Application Support is a symbolic link, not a folder"},
        {"Library", &P::readFile, name, "Read failed: Library is a symbolic link, not a folder"},
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        root = directory / ("c" + std::to_string(i));
        SetUp();
        linkFolder(row.folder);
        auto result = answered(row.method, row.options);
        EXPECT_FALSE(result.resolved) << row.folder << " " << row.answer;
        EXPECT_EQ(result.message, row.answer) << row.folder;
        expectOutsideUntouched();
    }
}

TEST_F(ContainerEdgeTest, TheDeviceIdentifierIsTrimmedOfEveryKindOfBlank) {
    fs::path file = root / "Library/Application Support/device_id.txt";
    // No-break and ideographic spaces, line and paragraph separators, the next-line character.
    std::ofstream(file)
        << "\u00A0\u3000\t id\u2003kept \u2028\u2029\u0085\u202F\u205F\u1680\u200A\n";
    EXPECT_EQ(resolved(&OfflineStoragePlugin::getDeviceId)["deviceId"], "id\u2003kept");
    // Only blanks of the set: a character that merely shares bytes with one stays.
    std::ofstream(file) << "\u00E2\u2000x\u3001";
    EXPECT_EQ(resolved(&OfflineStoragePlugin::getDeviceId)["deviceId"], "\u00E2\u2000x\u3001");
}

}  // namespace

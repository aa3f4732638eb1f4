#include <gmock/gmock.h>

#include "Fakes/FakeFileSystem.h"
#include "StorageCalls.h"

namespace fs = std::filesystem;
using testing::MatchesRegex;
using Method = StorageCalls::Method;
using Failing = FakeFileSystem::Operation;
using Type = platform::EntryType;

namespace {

const std::string uuid = "[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}";

class OfflineStoragePluginTest : public testing::Test, public StorageCalls {
protected:
    void SetUp() override { open(files); }

    JSObject ask(Method method, const char* name) { return resolved(method, {{"filename", name}}); }
    JSObject temporary(std::string_view bytes = "hi") {
        return resolved("writeTempFile", {{"data", base64::encode(bytes)}});
    }
    std::string bytesAt(const fs::path& file) const {
        return files->contents(file).value_or("(no file)");
    }

    fs::path store() const { return "/c/Library/Application Support/offline"; }
    fs::path scratch() const { return "/c/tmp/offline_temp"; }
    fs::path deviceIdFile() const { return "/c/Library/Application Support/device_id.txt"; }

    std::shared_ptr<FakeFileSystem> files = std::make_shared<FakeFileSystem>();
};

// Missing arguments, bad data, and names that would reach outside the store or at the store
// itself: all refused before the disk is touched.
TEST_F(OfflineStoragePluginTest, RefusesBadArgumentsBeforeTouchingTheDisk) {
    std::vector<std::tuple<Method, JSObject, std::string>> cases = {
        {"writeFile", {{"data", "aGk="}}, "filename and data required"},
        {"writeFile", {{"filename", "a"}}, "filename and data required"},
        {"writeFile", {{"filename", "a"}, {"data", "aGk=\n"}}, "filename and data required"},
        {"writeFile", {{"filename", 7}, {"data", "aGk="}}, "filename and data required"},
        {"readFile", JSObject::object(), "filename required"},
        {"deleteFile", JSObject::object(), "filename required"},
        {"fileExists", JSObject::object(), "filename required"},
        {"writeTempFile", JSObject::object(), "data required"},
        {"writeTempFile", {{"data", "not base64"}}, "data required"},
        {"writeTempFile", {{"data", "aGk="}, {"extension", "x/y"}}, "Invalid extension"},
        {"writeTempFile",
         {{"data", "aGk="}, {"extension", std::string("mp3\0x", 5)}},
         "Invalid extension"},
    };
    const std::vector<std::string> names = {
        "", ".", "..", "../victim", "a/b", "/etc/passwd", std::string("a\0b", 3)};
    for (const std::string& name : names) {
        for (Method method : {"readFile", "deleteFile", "fileExists", "writeFile"}) {
            cases.push_back({method, {{"filename", name}, {"data", "aGk="}}, "Invalid filename"});
        }
    }
    for (const auto& [method, options, message] : cases) {
        EXPECT_EQ(rejected(method, options), message) << options.dump();
    }
    EXPECT_TRUE(files->records().made.empty());
    EXPECT_TRUE(files->records().read.empty());
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
    EXPECT_EQ(files->records().synced, std::vector<fs::path>{store() / "song.mp3"});
    write("song.mp3", "new");
    EXPECT_EQ(bytesAt(store() / "song.mp3"), "new");
    write("empty", "");
    EXPECT_EQ(ask("readFile", "empty")["data"], "");
    write("song.mp3", song);
    files->fail(Failing::readOnward, "Input/output error");
    EXPECT_EQ(rejected("readFile", {{"filename", "song.mp3"}}), "Read failed: Input/output error");
}

TEST_F(OfflineStoragePluginTest, ReadDeleteExistsAndListFollowWhatIsOnDisk) {
    auto exists = [&](const char* name) { return ask("fileExists", name)["exists"]; };
    auto deleted = [&](const char* name) { return ask("deleteFile", name)["success"]; };
    auto listed = [&] { return resolved("listFiles")["files"].get<std::vector<std::string>>(); };
    EXPECT_TRUE(listed().empty());
    EXPECT_EQ(rejected("readFile", {{"filename", "never"}}), "File not found");
    EXPECT_EQ(exists("never"), false);
    write("gone", "x");
    write(".hidden", "x");
    files->folder(store() / "folder");
    EXPECT_EQ(exists("folder"), true);
    EXPECT_THAT(listed(), testing::UnorderedElementsAre("gone", ".hidden", "folder"));
    EXPECT_EQ(deleted("gone"), true);
    EXPECT_EQ(deleted("gone"), false);
    EXPECT_EQ(files->records().removed, std::vector<fs::path>{store() / "gone"});

    files->fail(Failing::remove, "Operation not permitted");
    EXPECT_EQ(deleted(".hidden"), false);
    files->fail(Failing::list, "Permission denied");
    EXPECT_TRUE(listed().empty());
    files->heal();
    // A store removed from outside is made again.
    ASSERT_FALSE(files->remove("/c/Library/Application Support"));
    EXPECT_TRUE(listed().empty());
    write("again", "3");
    EXPECT_EQ(read("again"), "3");
}

// Cleaning empties the scratch folder and counts what it removed.
TEST_F(OfflineStoragePluginTest, TemporaryFilesAreUniquelyNamedInTheScratchFolderAndCleanedAway) {
    auto cleaned = [&] { return resolved("cleanTempFiles")["deleted"]; };
    EXPECT_EQ(cleaned(), 0);
    auto first = temporary();
    std::string path = first["filePath"];
    EXPECT_NE(path, temporary()["filePath"]);
    EXPECT_EQ(fs::path(path).parent_path(), scratch());
    EXPECT_EQ(first["path"], "file://" + path);
    EXPECT_EQ(bytesAt(path), "hi");
    EXPECT_THAT(fs::path(path).filename().string(), MatchesRegex("temp_" + uuid + "\\.mp3"));

    // Other extensions are used unchanged; the file URL escapes all but unreserved characters
    // and "/".
    const std::vector<std::tuple<std::string, std::string, std::string>> extensions = {
        {".tar.gz", "..tar.gz", "..tar.gz"},
        {"", ".", "."},
        {"a b%#\xc3\xa9~", ".a b%#\xc3\xa9~", ".a%20b%25%23%C3%A9~"},
    };
    for (const auto& [extension, ending, escaped] : extensions) {
        auto written = resolved("writeTempFile", {{"data", ""}, {"extension", extension}});
        std::string file = written["filePath"];
        ASSERT_TRUE(file.ends_with(ending)) << file;
        EXPECT_EQ(written["path"],
                  "file://" + file.substr(0, file.size() - ending.size()) + escaped);
    }
    files->folder(scratch() / "nested/deeper");
    EXPECT_EQ(cleaned(), 6);
    EXPECT_EQ(files->contentsOfDirectory(scratch()).value(), std::vector<std::string>{});
    temporary();
    files->fail(Failing::remove, "Device or resource busy");
    EXPECT_EQ(cleaned(), 0);
    files->fail(Failing::writeAtomically, "Read-only file system");
    EXPECT_EQ(rejected("writeTempFile", {{"data", "aGk="}}),
              "Temp write failed: Read-only file system");
}

TEST_F(OfflineStoragePluginTest, StorageFiguresCountOnlyTheStoreAndTheDeviceIdentifierIsKept) {
    EXPECT_EQ(resolved("getStorageInfo")["used"], 0u);
    write("hundred", std::string(100, 'x'));
    temporary(std::string(5000, 'y'));
    resolved("getDeviceId");
    files->plant(store() / "sub" / "inner", Type::file, std::string(7000, 'z'));
    // A name that is not UTF-8 could not be sent back to reach its file: it is counted, not listed.
    files->plant(store() / "bad\xff\xfename", Type::file, std::string(20, 'b'));
    EXPECT_THAT(resolved("listFiles")["files"], testing::UnorderedElementsAre("hundred", "sub"));
    files->volume = platform::FileSystemFigures{UINT64_MAX, 9000000000000000000u};
    EXPECT_EQ(resolved("getStorageInfo"),
              JSObject({{"total", UINT64_MAX}, {"free", 9000000000000000000u}, {"used", 120u}}));
    EXPECT_EQ(resolved("getFreeSpace"), JSObject({{"bytes", 9000000000000000000u}}));

    files->fail(Failing::figures, "Input/output error");
    EXPECT_EQ(rejected("getStorageInfo"), "Unable to read storage info");
    EXPECT_EQ(rejected("getFreeSpace"), "Unable to read free space");

    auto identifier = [&] { return resolved("getDeviceId")["deviceId"].get<std::string>(); };
    std::string first = identifier();
    EXPECT_THAT(first, MatchesRegex(uuid));
    EXPECT_EQ(bytesAt(deviceIdFile()), first);
    EXPECT_EQ(identifier(), first);

    // What the file holds, trimmed of every kind of blank; blank text or text that is not UTF-8
    // counts as none, and a new identifier replaces it.
    const std::vector<std::pair<std::string, std::string>> contents = {
        {" \t\v\f\r\nkept-as-is \r\n\t\v\f", "kept-as-is"},
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
        files->plant(deviceIdFile(), Type::file, content);
        std::string given = identifier();
        EXPECT_EQ(given, expected.empty() ? bytesAt(deviceIdFile()) : expected) << content;
        EXPECT_EQ(given.size() == 36, expected.empty()) << content;
    }

    // When it cannot be stored it is still given, and the next call makes another.
    ASSERT_FALSE(files->remove(deviceIdFile()));
    files->fail(Failing::writeAtomically, "Read-only file system");
    EXPECT_NE(identifier(), identifier());
}

}  // namespace

#include <sys/stat.h>

#include "FileFixture.h"
#include "host/HBRCommandDelegateImpl.h"
#include "support/ValuePick.h"
#include "platform/foundation/JSONText.h"
#include "platform/foundation/Strings.h"

namespace filetest {
namespace {

std::vector<std::string> names(const HBRFile& plugin) {
  std::vector<std::string> out;
  for (const auto& fs : plugin.fileSystems()) out.push_back(fs->name());
  return out;
}

TEST_F(FileFixture, StartsWithTheDefaultRegistry) {
  EXPECT_EQ(names(*plugin), (std::vector<std::string>{"temporary", "persistent", "assets-library", "library", "library-nosync",
                                                       "documents", "documents-nosync", "cache", "bundle", "root"}));
  EXPECT_EQ(HBRFile::current(), plugin);
  auto root = std::dynamic_pointer_cast<HBRLocalFilesystem>(plugin->fileSystemByName("root"));
  EXPECT_TRUE(root->fsRoot() == platform::paths::dataRoot() && !root->isReadOnly());
  EXPECT_TRUE(std::dynamic_pointer_cast<HBRLocalFilesystem>(plugin->fileSystemByName("bundle"))->isReadOnly());
  EXPECT_TRUE(platform::fs::isDirectory(platform::paths::library() + "/NoCloud"));

  Value temporary = call("requestFileSystem", {0, 0}).message;
  EXPECT_EQ(temporary["name"], "temporary");
  const Value& top = temporary["root"];
  EXPECT_TRUE(top["fullPath"] == "/" && top["name"] == "/" && top["isDirectory"] == true) << temporary.dump();
  {
    testing_support::LogCapture log;
    EXPECT_FILE_ERROR(call("requestFileSystem", {10 + 1, 0}), Error, 1);
    EXPECT_TRUE(log.contains("No filesystem of type requested"));
  }
  EXPECT_FILE_ERROR(call("requestFileSystem", {-1, 0}), Error, 1);
  EXPECT_FILE_ERROR(call("requestFileSystem", {1, -1}), IOException, 10);
  EXPECT_EQ(call("requestAllFileSystems", Value::array()).message.size(), 10u);

  Value paths = call("requestAllPaths", Value::array()).message;
  EXPECT_EQ(paths.size(), 7u);
  EXPECT_EQ(paths["dataDirectory"], platform::URL::fileURL(platform::paths::library() + "/NoCloud/").absoluteString());
  EXPECT_TRUE(platform::fs::isDirectory(platform::paths::library() + "/Cloud"));

  std::string free = call("getFreeDiskSpace", Value::array()).message;
  EXPECT_FALSE(free.empty());
  EXPECT_EQ(free.find_first_not_of("0123456789"), std::string::npos) << free;
}

TEST_F(FileFixture, ExtraFileSystemsSettingAndPersistentLocation) {
  testing_support::LogCapture log;
  start(R"(<preference name="iosExtraFilesystems" value="Library, cache,library,bundle"/>
           <preference name="iosPersistentFileLocation" value="Library"/>)");
  EXPECT_EQ(names(*plugin), (std::vector<std::string>{"temporary", "persistent", "assets-library", "library", "bundle"}));
  EXPECT_TRUE(log.contains("Unrecognized extra filesystem identifier:  cache"));
  EXPECT_EQ(std::dynamic_pointer_cast<HBRLocalFilesystem>(plugin->fileSystemByName("persistent"))->fsRoot(),
            platform::paths::library() + "/files");

  start(R"(<preference name="iosPersistentFileLocation" value="somewhere"/>)");
  EXPECT_TRUE(log.contains("File plugin configuration error: Please set iosPersistentFileLocation in config.xml to one "
                           "of \"library\" (for new applications) or \"compatibility\""));
  EXPECT_TRUE(!plugin->fileSystemByName("persistent") && plugin->fileSystems()[1]->name() == "assets-library");
}

TEST_F(FileFixture, TypeNumbersMoveDownWhenTheTemporaryFolderCannotBeMade) {
  platform::fs::remove(platform::paths::dataRoot() + "/tmp");
  dir.write("data/tmp", "a file where the folder should be");
  testing_support::LogCapture log;
  start("");
  EXPECT_TRUE(log.contains("Unable to create temporary directory"));
  EXPECT_TRUE(plugin->fileSystems()[0]->name() == "persistent" &&
              call("requestFileSystem", {0, 0}).message["name"] == "persistent");
}

TEST_F(FileFixture, GetFileFlagMatrix) {
  dir.write("data/Documents/dir/inner.txt", "x");
  dir.write("data/Documents/file.txt", "x");
  Value create = {{"create", true}}, exclusive = {{"create", true}, {"exclusive", true}};
  std::string base = url("");
  EXPECT_FILE_ERROR(call("getFile", {base, "dir"}), IOException, 11);
  Value directory = call("getDirectory", {base, "dir"}).message;
  EXPECT_TRUE(directory["fullPath"] == "/dir/" && directory["isDirectory"] == true) << directory.dump();
  EXPECT_FILE_ERROR(call("getDirectory", {base, "file.txt"}), IOException, 11);
  EXPECT_FILE_ERROR(call("getFile", {base, "file.txt", exclusive}), IOException, 12);
  EXPECT_EQ(call("getFile", {base, "file.txt", create}).message["name"], "file.txt");
  EXPECT_FILE_ERROR(call("getFile", {base, "missing.txt"}), IOException, 1);
  EXPECT_FILE_ERROR(call("getFile", {base, "a:b"}), IOException, 5);
  EXPECT_FALSE(platform::fs::exists(documents("a:b")));
  EXPECT_FILE_ERROR(call("getDirectory", {base, "no/parent", create}), IOException, 3);
  EXPECT_FALSE(platform::fs::exists(documents("no")));
  // Flags count only when they are numbers or booleans.
  EXPECT_FILE_ERROR(call("getFile", {base, "new.txt", Value{{"create", "yes"}}}), IOException, 1);

  Value made = call("getFile", {url("dir"), "new.txt", create}).message;
  EXPECT_EQ(Value({made["fullPath"], made["nativeURL"]}),
            Value({"/dir/new.txt", platform::URL::fileURL(documents("dir/new.txt")).absoluteString()}));
  EXPECT_TRUE(platform::fs::exists(documents("dir/new.txt")));
  EXPECT_EQ(call("getDirectory", {base, "made", create}).message["fullPath"], "/made/");
  EXPECT_TRUE(platform::fs::isDirectory(documents("made")));

  // The parent of a top-level entry is the root made from the empty path.
  EXPECT_PICKED(call("getParent", {url("file.txt")}).message, R"({"fullPath": "/", "name": ""})");
  EXPECT_EQ(call("getParent", {url("dir/inner.txt")}).message["fullPath"], "/dir/");
}

TEST_F(FileFixture, CopyAndMoveMatrix) {
  dir.write("data/Documents/a.txt", "A");
  dir.write("data/Documents/b.txt", "B");
  dir.write("data/Documents/x/a/inner.txt", "I");
  platform::fs::createDirectory(documents("emptydir"), true);
  platform::fs::createDirectory(documents("y/x"), true);

  EXPECT_FILE_ERROR(call("copyTo", {url("a.txt"), url("")}), IOException, 9);
  EXPECT_FILE_ERROR(call("copyTo", {url("a.txt"), url(""), "b.txt"}), IOException, 12);
  EXPECT_FILE_ERROR(call("copyTo", {url("a.txt"), url(""), "c:d"}), IOException, 5);
  EXPECT_FILE_ERROR(call("copyTo", {url("a.txt"), url(""), nullptr}), IOException, 5);
  EXPECT_FILE_ERROR(call("copyTo", {url("a.txt")}), IOException, 1);
  EXPECT_FILE_ERROR(call("copyTo", {url("missing"), url(""), "m"}), IOException, 1);
  EXPECT_FILE_ERROR(call("copyTo", {url("a.txt"), url("nofolder"), "m"}), IOException, 1);
  EXPECT_EQ(call("copyTo", {url("a.txt"), url("y")}).message["fullPath"], "/y/a.txt");
  EXPECT_EQ(platform::fs::readFile(documents("y/a.txt")), "A");

  // Into itself is judged by whole components.
  EXPECT_FILE_ERROR(call("copyTo", {url("x/a"), url("x/a"), "b"}), IOException, 9);
  EXPECT_EQ(call("copyTo", {url("x/a"), url("y/x")}).message["fullPath"], "/y/x/a/");
  EXPECT_EQ(platform::fs::readFile(documents("y/x/a/inner.txt")), "I");
  EXPECT_EQ(call("copyTo", {url("x/a"), url("x"), "a-copy"}).message["isDirectory"], true);
  EXPECT_FILE_ERROR(call("moveTo", {url("x/a"), url("x/a"), "sub"}), IOException, 9);
  EXPECT_TRUE(platform::fs::exists(documents("x/a/inner.txt")));
  EXPECT_TRUE(HBRLocalFilesystem::canCopyMoveSrc("/r/x/a", "/r/x/ab/c"));
  EXPECT_FALSE(HBRLocalFilesystem::canCopyMoveSrc("/r/x/a", "/r/x/a/b"));

  // Moves replace files and empty folders, never a folder with something in it.
  EXPECT_FILE_ERROR(call("moveTo", {url("a.txt"), url(""), "emptydir"}), IOException, 9);
  EXPECT_FILE_ERROR(call("moveTo", {url("x"), url(""), "y"}), IOException, 9);
  EXPECT_EQ(call("moveTo", {url("a.txt"), url(""), "b.txt"}).message["fullPath"], "/b.txt");
  EXPECT_TRUE(platform::fs::readFile(documents("b.txt")) == "A" && !platform::fs::exists(documents("a.txt")));
  EXPECT_EQ(call("moveTo", {url("x/a-copy"), url(""), "emptydir"}).message["fullPath"], "/emptydir/");
  EXPECT_TRUE(platform::fs::exists(documents("emptydir/inner.txt")));
  // Across file systems.
  EXPECT_EQ(call("moveTo", {url("b.txt"), url("", "temporary")}).message["filesystemName"], "temporary");
  EXPECT_EQ(platform::fs::readFile(platform::paths::tmp() + "/b.txt"), "A");
}

TEST_F(FileFixture, AFailedMoveKeepsTheDestination) {
  // "temporary" on another device, so the move copies, and a file-size limit that the copy
  // runs into after the file it replaces was set aside.
  struct stat here, shm;
  if (::stat(dir.path().c_str(), &here) != 0 || ::stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
    GTEST_SKIP() << "no second file system to move across";
  testing_support::TempDir elsewhere;
  char pattern[] = "/dev/shm/veltro-move-XXXXXX";
  ASSERT_TRUE(::mkdtemp(pattern));
  std::string other = pattern;
  platform::fs::remove(platform::paths::dataRoot() + "/tmp");
  ASSERT_EQ(::symlink(other.c_str(), (platform::paths::dataRoot() + "/tmp").c_str()), 0);
  start("");
  platform::fs::writeFileAtomically(other + "/target.txt", "keep me");
  dir.write("data/Documents/big.txt", std::string(4096, 'x'));

  Reply reply = withFileSizeLimit(
      100, [&] { return call("moveTo", {url("big.txt"), url("", "temporary"), "target.txt"}); });
  EXPECT_NE(reply.status, HBRResultStatus::OK);
  EXPECT_EQ(platform::fs::readFile(other + "/target.txt"), "keep me");
  EXPECT_EQ(platform::fs::contentsOfDirectory(other), std::vector<std::string>{"target.txt"});
  EXPECT_TRUE(platform::fs::exists(documents("big.txt")));
  platform::fs::remove(other);
}

TEST_F(FileFixture, WriteAndTruncatePositions) {
  dir.write("data/Documents/ten.txt", "0123456789");
  EXPECT_EQ(call("write", {url("ten.txt"), "abc", 0}).message, 3);
  EXPECT_EQ(platform::fs::readFile(documents("ten.txt")), "abc");
  EXPECT_EQ(call("write", {url("ten.txt"), "de", 3}).message, 2);
  EXPECT_EQ(call("write", {url("ten.txt"), "XY", 1}).message, 2);
  EXPECT_EQ(platform::fs::readFile(documents("ten.txt")), "aXY");
  EXPECT_EQ(call("write", {url("ten.txt"), platform::bytesValue({0, 255}), 3}).message, 2);
  EXPECT_EQ(platform::fs::readFile(documents("ten.txt")), std::string("aXY\0\xff", 5));
  Reply number = call("write", {url("ten.txt"), 42, 0});
  EXPECT_TRUE(number.status == HBRResultStatus::Error && number.message == "Invalid parameter type");
  EXPECT_EQ(call("write", {url("fresh.txt"), "", 0}).message, 0);
  EXPECT_FALSE(platform::fs::exists(documents("fresh.txt")));
  EXPECT_EQ(call("write", {url("fresh.txt"), "new", 0}).message, 3);

  EXPECT_EQ(call("truncate", {url("ten.txt"), 2}).message, 2);
  EXPECT_EQ(platform::fs::readFile(documents("ten.txt")), "aX");
  EXPECT_EQ(call("truncate", {url("ten.txt"), 4}).message, 4);
  EXPECT_EQ(platform::fs::readFile(documents("ten.txt")), std::string("aX\0\0", 4));
  // A file that is not there cannot be cut: an error, not a success with 0.
  EXPECT_FILE_ERROR(call("truncate", {url("missing.txt"), 0}), IOException, 1);
  EXPECT_FILE_ERROR(call("truncate", {url("ten.txt"), -1}), IOException, 9);
}

// Bytes go in as the page sends them (Base64 in the JSON text of a command) and come back in
// the callback text, byte for byte, whatever their size against the blocks that text is read
// and written in.
TEST_F(FileFixture, BytesOfEverySizeComeBackExactly) {
  // (No bytes make no file: that case is the write test's.)
  for (size_t size : {1, 2, 3, 15, 16, 17, 47, 48, 49, 63, 64, 65, 4095, 65536, 65537, 1 << 20}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char((i * 131 + i / 256) & 0xFF);
    std::string data = platform::base64Encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    std::string name = "size-" + std::to_string(size) + ".bin";
    auto arguments = platform::parseJSONText("[\"" + url(name) + "\",{\"HBRType\":\"ArrayBuffer\",\"data\":\"" + data +
                                             "\"},0]");
    ASSERT_TRUE(arguments);
    Reply written = call("write", *arguments);
    EXPECT_EQ(written.status, HBRResultStatus::OK) << size;
    EXPECT_EQ(platform::fs::readFile(documents(name)).value_or("(none)"), bytes) << size;

    Reply read = call("readAsArrayBuffer", {url(name), 0, -1});
    auto result = HBRPluginResult::resultWithStatus(read.status, read.message);
    std::string text = HBRCommandDelegateImpl::callbackMessage("File1", result.get());
    size_t open = text.find('('), close = text.rfind(')');
    ASSERT_TRUE(open != std::string::npos && close != std::string::npos) << size;
    auto answer = platform::parseJSONText(text.substr(open + 1, close - open - 1));
    ASSERT_TRUE(answer && answer->size() == 5) << size;
    auto back = platform::base64Decode((*answer)[2]["data"].get<std::string>());
    ASSERT_TRUE(back) << size;
    EXPECT_TRUE(std::string(back->begin(), back->end()) == bytes) << size;
  }
}

// The answer to a read is written from the bytes read, straight into the callback text: that
// text is the one the answer's value gives, byte for byte. A write whose command is gone by
// the time the background gets to it still writes what the command carried, and the
// command's own arguments are left as they were.
TEST_F(FileFixture, ByteAnswersAreTheTextOfTheirValueAndWritesOutliveTheirCommand) {
  for (size_t size : {0, 1, 2, 3, 65535, 65536, 65537}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char((i * 197 + i / 256) & 0xFF);
    std::string name = "answer-" + std::to_string(size) + ".bin";
    dir.write("data/Documents/" + name, bytes);
    std::string id = "File" + std::to_string(++calls);
    ASSERT_TRUE(plugin->performAction("readAsArrayBuffer",
                                      HBRInvokedUrlCommand(Value::array({url(name), 0, -1}), id, "File", "readAsArrayBuffer")));
    auto result = delegate->wait(id);
    ASSERT_TRUE(result) << size;
    ASSERT_EQ(result->status(), HBRResultStatus::OK) << size;
    auto viaValue = HBRPluginResult::resultWithStatus(HBRResultStatus::OK, result->message());
    EXPECT_EQ(HBRCommandDelegateImpl::callbackMessage(id, result.get()),
              HBRCommandDelegateImpl::callbackMessage(id, viaValue.get()))
        << size;
    auto back = platform::base64Decode(result->message()["data"].get<std::string>());
    ASSERT_TRUE(back) << size;
    EXPECT_TRUE(std::string(back->begin(), back->end()) == bytes) << size;
  }

  platform::Bytes payload(1 << 20);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = std::uint8_t((i * 131 + 7) & 0xFF);
  std::string id = "File" + std::to_string(++calls);
  auto command = std::make_unique<HBRInvokedUrlCommand>(
      Value::array({url("outlived.bin"), platform::bytesValue(payload), 0}), id, "File", "write");
  ASSERT_TRUE(plugin->performAction("write", *command));
  const Value kept = command->arguments();
  command.reset();
  auto written = delegate->wait(id);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->status(), HBRResultStatus::OK);
  EXPECT_EQ(written->message(), Value(std::int64_t(payload.size())));
  EXPECT_TRUE(platform::fs::readFile(documents("outlived.bin")) == std::string(payload.begin(), payload.end()));
  EXPECT_EQ(kept[1].get_binary(), payload);
}

TEST_F(FileFixture, ReadsWithEncodingsAndRanges) {
  dir.write("data/Documents/text.txt", "h\xc3\xa9llo world");
  dir.write("data/Documents/bad.txt", "\xff\xfe");
  dir.write("data/Documents/bytes.bin", std::string("\x00\x7f\x80\xff", 4));
  dir.write("data/Documents/empty.txt", "");
  EXPECT_EQ(call("readAsText", {url("text.txt"), "UTF-8", 0, -1}).message, "h\xc3\xa9llo world");
  EXPECT_EQ(call("readAsText", {url("text.txt"), "utf-8", 7, 12}).message, "world");
  EXPECT_EQ(call("readAsText", {url("text.txt"), "utf-8", 7, 3}).message, "world");
  EXPECT_EQ(call("readAsText", {url("empty.txt"), "utf-8", 0, -1}).message, "");
  {
    testing_support::LogCapture log;
    EXPECT_FILE_ERROR(call("readAsText", {url("text.txt"), "UTF-16", 0, -1}), IOException, 5);
    EXPECT_TRUE(log.contains("Only UTF-8 encodings are currently supported by readAsText"));
  }
  EXPECT_FILE_ERROR(call("readAsText", {url("bad.txt"), "UTF-8", 0, -1}), IOException, 5);
  EXPECT_FILE_ERROR(call("readAsText", {url("missing.txt"), "UTF-8", 0, -1}), IOException, 1);
  EXPECT_FILE_ERROR(call("readAsText", {"hbrfile://localhost/nosuch/x", "UTF-8", 0, -1}), IOException, 1);

  EXPECT_EQ(call("readAsDataURL", {url("text.txt"), 0, 5}).message, "data:text/plain;base64,aMOpbGw=");
  EXPECT_EQ(call("readAsBinaryString", {url("bytes.bin"), 0, -1}).message, platform::binaryString(std::string("\x00\x7f\x80\xff", 4)));
  EXPECT_EQ(call("readAsArrayBuffer", {url("bytes.bin"), 1, 3}).message["data"],
            platform::base64Encode(platform::Bytes{0x7f, 0x80}));
  // A range far past the file's size reads what there is instead of allocating the range.
  EXPECT_EQ(call("readAsText", {url("text.txt"), "UTF-8", 0, 9.0e18}).message, "h\xc3\xa9llo world");
  EXPECT_EQ(call("readAsText", {url("text.txt"), "UTF-8", 1LL << 60, -1}).message, "");

  dir.write("data/Documents/sound.wavezz", "RIFF");
  EXPECT_EQ(call("readAsDataURL", {url("sound.wavezz"), 0, -1}).message, "data:audio/wav;base64,UklGRg==");
  Value metadata = call("getFileMetadata", {url("sound.wavezz")}).message;
  EXPECT_PICKED(metadata, R"({"type": "application/octet-stream", "size": 4, "name": "sound.wavezz",
                             "fullPath": "/sound.wavezz"})");
  EXPECT_GT(metadata["lastModifiedDate"].get<double>(), 1.6e12);
  EXPECT_FILE_ERROR(call("getFileMetadata", {url("missing")}), Error, 1);
}

TEST_F(FileFixture, ListingRemovingAndLookups) {
  dir.write("data/Documents/d/one.txt", "1");
  dir.write("data/Documents/d/sub/two.txt", "2");
  Value listing = call("readEntries", {url("d")}).message;
  ASSERT_EQ(listing.size(), 2u);
  EXPECT_EQ(Value({listing[0]["fullPath"], listing[1]["fullPath"]}), Value({"/d/one.txt", "/d/sub/"}));
  EXPECT_FILE_ERROR(call("readEntries", {url("d/one.txt")}), IOException, 1);

  EXPECT_FILE_ERROR(call("remove", {url("d")}), IOException, 9);
  EXPECT_FILE_ERROR(call("removeRecursively", {url("gone")}), IOException, 1);
  EXPECT_TRUE(call("remove", {url("d/one.txt")}).answered && !platform::fs::exists(documents("d/one.txt")));
  EXPECT_EQ(call("removeRecursively", {url("d")}).status, HBRResultStatus::OK);
  EXPECT_FALSE(platform::fs::exists(documents("d")));

  dir.write("data/Documents/here.txt", "h");
  Value resolved = call("resolveLocalFileSystemURI",
                        {platform::URL::fileURL(documents("here.txt")).absoluteString()}).message;
  EXPECT_PICKED(resolved, R"({"filesystemName": "persistent", "fullPath": "/here.txt"})");
  EXPECT_FILE_ERROR(call("resolveLocalFileSystemURI", {"hbrfile://localhost/nosuch/x"}), Error, 5);
  EXPECT_FILE_ERROR(call("resolveLocalFileSystemURI", {42}), Error, 5);
  EXPECT_EQ(call("_getLocalFilesystemPath", {url("here.txt")}).message, documents("here.txt"));
  EXPECT_EQ(call("_getLocalFilesystemPath", {"hbrfile://localhost/nosuch/x"}).message, "Cannot resolve URL to a file");
  EXPECT_EQ(Value({call("testFileExists", {documents("here.txt")}).message,
                   call("testFileExists", {url("here.txt")}).message,
                   call("testDirectoryExists", {documents()}).message}),
            Value({1, 0, 1}));

  dir.write("data/Documents/meta.txt", "m");
  EXPECT_EQ(call("setMetadata", {url("meta.txt"), Value{{"com.apple.MobileBackup", 1}}}).status, HBRResultStatus::OK);
  EXPECT_TRUE(platform::fs::isExcludedFromBackup(documents("meta.txt")));
  EXPECT_EQ(call("setMetadata", {url("meta.txt"), Value{{"com.apple.MobileBackup", "yes"}}}).status,
            HBRResultStatus::Error);

  delegate->transformer = [](const platform::URL& u) { return u.withScheme("veltro"); };
  EXPECT_TRUE(platform::startsWith(call("getFile", {url(""), "meta.txt"}).message["nativeURL"].get<std::string>(),
                                   "veltro:"));
}

}  // namespace
}  // namespace filetest

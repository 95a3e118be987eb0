#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

#include "FileFixture.h"

namespace filetest {
namespace {

std::vector<std::string> listed(const Reply& reply) {
  std::vector<std::string> names;
  for (const auto& entry : reply.message) names.push_back(entry["name"]);
  return names;
}

// The shell's own state through "root" and "library", as a hostile page would go for it.
TEST_F(FileFixture, TheShellsOwnStateAnswersAsIfItWereNotThere) {
  const char* privates[] = {"Library/Cookies/Cookies.txt", "Library/WebKit/data.txt",
                            "Library/Caches/WebKit/cache.txt", "Library/Preferences/app.plist",
                            "Library/Application Support/RoruvIV/logs.txt", "Media/DCIM/1.JPG"};
  for (const char* relative : privates) dir.write(std::string("data/") + relative, "private");
  dir.write("data/Documents/mine.txt", "mine");
  ASSERT_EQ(::symlink("../Library/Cookies/Cookies.txt", documents("cookies.txt").c_str()), 0);
  testing_support::LogCapture log;

  for (const char* relative : privates) {
    std::string asRoot = url(relative, "root");
    EXPECT_FILE_ERROR(call("readAsText", {asRoot, "UTF-8", 0, -1}), IOException, 1);
    EXPECT_FILE_ERROR(call("write", {asRoot, "owned", 0}), IOException, 1);
    EXPECT_FILE_ERROR(call("removeRecursively", {asRoot}), IOException, 1);
    EXPECT_FILE_ERROR(call("moveTo", {asRoot, url(""), "taken"}), IOException, 1);
    EXPECT_FILE_ERROR(call("getFileMetadata", {asRoot}), IOException, 1);
    EXPECT_EQ(call("testFileExists", {platform::paths::dataRoot() + "/" + relative}).message, 0) << relative;
    EXPECT_EQ(call("_getLocalFilesystemPath", {asRoot}).status, HBRResultStatus::Error) << relative;
  }
  EXPECT_TRUE(log.contains("the shell keeps it for itself"));
  EXPECT_FILE_ERROR(call("readAsText", {url("Cookies/Cookies.txt", "library"), "UTF-8", 0, -1}), IOException, 1);
  EXPECT_FILE_ERROR(call("getFile", {url("", "library"), "WebKit/new.txt", Value{{"create", true}}}), IOException, 1);
  EXPECT_FILE_ERROR(call("getDirectory", {url("Cookies", "library"), "x", Value{{"create", true}}}), IOException, 1);
  EXPECT_FILE_ERROR(call("readEntries", {url("Library/Preferences", "root")}), IOException, 1);
  // A link within the data root that leads to the cookies is judged by where it leads.
  EXPECT_FILE_ERROR(call("readAsText", {url("Documents/cookies.txt", "root"), "UTF-8", 0, -1}), IOException, 1);
  // A tree that holds the shell's state is not copied out; the page's own is.
  EXPECT_FILE_ERROR(call("copyTo", {url("Library", "root"), url(""), "library-copy"}), IOException, 6);
  EXPECT_FILE_ERROR(call("copyTo", {url("", "root"), url("", "temporary"), "everything"}), IOException, 6);
  EXPECT_EQ(call("copyTo", {url("Documents/mine.txt", "root"), url("", "temporary"), "mine.txt"}).status,
            HBRResultStatus::OK);

  // Listings leave out what is not there for the page.
  platform::fs::createDirectory(platform::paths::library() + "/NoCloud", true);
  std::vector<std::string> top = listed(call("readEntries", {url("", "root")}));
  EXPECT_EQ(top, (std::vector<std::string>{"Documents", "Library", "tmp"}));
  for (const std::string& name : listed(call("readEntries", {url("", "library")})))
    EXPECT_TRUE(name == "Caches" || name == "NoCloud" || name == "Cloud" || name == "files") << name;
  EXPECT_EQ(listed(call("readEntries", {url("", "cache")})), std::vector<std::string>{});

  for (const char* relative : privates)
    EXPECT_EQ(platform::fs::readFile(dir.file(std::string("data/") + relative)), "private") << relative;
  EXPECT_FALSE(platform::fs::exists(documents("library-copy")));
}

TEST_F(FileFixture, NoActionRemovesMovesOrReplacesTheRootOfAnyFileSystem) {
  platform::fs::createDirectory(platform::paths::library() + "/NoCloud", true);
  platform::fs::createDirectory(platform::paths::documents() + "/NoCloud", true);
  dir.write("data/tmp/file.txt", "t");
  for (const char* relative : {"Documents", "tmp", "Library", "Library/Caches", "Library/NoCloud", "Documents/NoCloud"}) {
    std::string asRoot = url(relative, "root");
    EXPECT_FILE_ERROR(call("remove", {asRoot}), IOException, 6);
    EXPECT_FILE_ERROR(call("removeRecursively", {asRoot}), IOException, 6);
    EXPECT_FILE_ERROR(call("moveTo", {asRoot, url("", "temporary"), "moved"}), IOException, 6);
  }
  for (const auto& [name, fileSystem] : std::vector<std::pair<const char*, const char*>>{
           {"NoCloud", "library"}, {"Caches", "library"}, {"NoCloud", "persistent"}}) {
    EXPECT_FILE_ERROR(call("removeRecursively", {url(name, fileSystem)}), IOException, 6);
    EXPECT_FILE_ERROR(call("moveTo", {url(name, fileSystem), url("", "temporary"), "moved"}), IOException, 6);
  }
  // Nor is one replaced by a move onto its name.
  EXPECT_FILE_ERROR(call("moveTo", {url("file.txt", "temporary"), url("", "root"), "Documents"}), IOException, 6);
  dir.write("data/tmp/empty/.keep", "");
  platform::fs::remove(dir.file("data/tmp/empty/.keep"));
  EXPECT_FILE_ERROR(call("moveTo", {url("empty", "temporary"), url("Library", "root"), "NoCloud"}), IOException, 6);

  // Every file system still works.
  for (const char* fileSystem : {"persistent", "documents-nosync", "library-nosync", "cache", "temporary"})
    EXPECT_EQ(call("write", {url("after.txt", fileSystem), "after", 0}).status, HBRResultStatus::OK) << fileSystem;
  EXPECT_EQ(platform::fs::readFile(dir.file("data/tmp/file.txt")), "t");
}

// What another program may plant in the data root: FIFOs, links that make a folder its own
// child, and sparse files larger than any memory.
TEST_F(FileFixture, FifosLoopsAndHugeFilesEndInAnErrorNeverInSilence) {
  ASSERT_EQ(::mkfifo(documents("pipe.txt").c_str(), 0600), 0);
  dir.write("data/Documents/plain.txt", "plain");
  // More than the shared workers: a worker that waited on the FIFO would starve the rest.
  for (int i = 0; i < 12; ++i) {
    EXPECT_FILE_ERROR(call("readAsText", {url("pipe.txt"), "UTF-8", 0, -1}), IOException, 1);
    Reply copied = call("copyTo", {url("pipe.txt"), url(""), "pipe-" + std::to_string(i)});
    EXPECT_TRUE(copied.answered && copied.status != HBRResultStatus::OK) << i;
  }
  EXPECT_NE(call("write", {url("pipe.txt"), "x", 0}).status, HBRResultStatus::OK);
  EXPECT_EQ(call("readAsText", {url("plain.txt"), "UTF-8", 0, -1}).message, "plain");

  // A folder copied into itself through a link is refused before anything is made.
  dir.write("data/Documents/a/one.txt", "1");
  ASSERT_EQ(::symlink(documents("a").c_str(), documents("into-a").c_str()), 0);
  EXPECT_FILE_ERROR(call("copyTo", {url("a"), url("into-a"), "b"}), IOException, 9);
  EXPECT_FILE_ERROR(call("moveTo", {url("a"), url("into-a"), "b"}), IOException, 9);
  EXPECT_EQ(platform::fs::contentsOfDirectory(documents("a")), std::vector<std::string>{"one.txt"});

  // One write far out makes a sparse file; reading it is refused, not attempted.
  ASSERT_EQ(call("write", {url("sparse.bin"), "a", 0}).status, HBRResultStatus::OK);
  Reply far = call("write", {url("sparse.bin"), "x", std::int64_t(1) << 40});
  if (far.status != HBRResultStatus::OK) {
    // A file system that cannot hold it: the same size, one byte past what may be read.
    ASSERT_EQ(::truncate(dir.write("data/Documents/sparse.bin", "").c_str(),
                         off_t(platform::fs::maximumReadSize() + 1)),
              0);
  }
  for (const char* action : {"readAsText", "readAsArrayBuffer"}) {
    Reply read = action == std::string("readAsText") ? call(action, {url("sparse.bin"), "UTF-8", 0, -1})
                                                     : call(action, {url("sparse.bin"), 0, -1});
    EXPECT_FILE_ERROR(read, IOException, 4);
  }
  // A range of it that fits is read.
  EXPECT_EQ(call("readAsText", {url("sparse.bin"), "UTF-8", 0, 3}).message, "a" + std::string(2, '\0'));
}

// A write cuts and writes one descriptor, checked first: nothing it may not reach is cut, and
// only a regular file is written.
TEST_F(FileFixture, AWriteCutsAndWritesOnlyThePagesOwnRegularFiles) {
  testing_support::TempDir outside;
  outside.write("secret.txt", "secret");
  dir.write("data/Library/Cookies/Cookies.txt", "sid=1");
  dir.write("data/Documents/ten.txt", "0123456789");
  ASSERT_EQ(::symlink(outside.file("secret.txt").c_str(), documents("secret-link.txt").c_str()), 0);
  ASSERT_EQ(::symlink("../Library/Cookies/Cookies.txt", documents("cookies.txt").c_str()), 0);
  for (std::int64_t position : {0, 2}) {
    EXPECT_FILE_ERROR(call("write", {url("secret-link.txt"), "owned", position}), IOException, 2);
    EXPECT_FILE_ERROR(call("write", {url("secret-link.txt"), "", position}), IOException, 2);
    EXPECT_FILE_ERROR(call("write", {url("Documents/cookies.txt", "root"), "owned", position}), IOException, 1);
    EXPECT_FILE_ERROR(call("write", {url("Library/Cookies/Cookies.txt", "root"), "", position}), IOException, 1);
  }
  EXPECT_EQ(platform::fs::readFile(outside.file("secret.txt")), "secret");
  EXPECT_EQ(platform::fs::readFile(dir.file("data/Library/Cookies/Cookies.txt")), "sid=1");

  // A FIFO with a reader opens without waiting, and is still refused on its descriptor.
  ASSERT_EQ(::mkfifo(documents("pipe").c_str(), 0600), 0);
  int reader = ::open(documents("pipe").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  EXPECT_FILE_ERROR(call("write", {url("pipe"), "into the pipe", 0}), IOException, 6);
  char byte;
  EXPECT_LE(::read(reader, &byte, 1), 0);
  ::close(reader);

  // A folder, a missing folder, and nothing to write after the cut.
  platform::fs::createDirectory(documents("folder"), true);
  EXPECT_FILE_ERROR(call("write", {url("folder"), "x", 0}), IOException, 11);
  EXPECT_FILE_ERROR(call("write", {url("no/such/folder.txt"), "x", 0}), Error, 1);
  Reply empty = call("write", {url("ten.txt"), "", 4});
  EXPECT_TRUE(empty.status == HBRResultStatus::OK && empty.message == Value(0.0)) << empty.message;
  EXPECT_EQ(platform::fs::readFile(documents("ten.txt")), "0123");
}

// A link swapped in after a path was checked and before it is opened, as a program racing
// the shell would do it, leads outside the root: the check on the opened descriptor refuses
// it, for reads and for writes, and the file outside is never read into a result nor written.
TEST_F(FileFixture, ALinkSwappedInBetweenThePathsCheckAndItsOpeningIsRefused) {
  testing_support::TempDir outside;
  outside.write("secret.txt", "secret");
  dir.write("data/Documents/own.txt", "own");
  std::string page = documents("swap.txt");
  int swaps = 0;
  // The page's file is a link inside the root when it is checked, and one out of it when it is
  // opened.
  auto arm = [&] {
    ::unlink(page.c_str());
    ASSERT_EQ(::symlink("own.txt", page.c_str()), 0);
    ASSERT_EQ(::symlink(outside.file("secret.txt").c_str(), documents("away.tmp").c_str()), 0);
  };
  HBRLocalFilesystem::setBeforeOpeningCheckedPath([&](const std::string& localPath) {
    if (localPath == page && ::rename(documents("away.tmp").c_str(), page.c_str()) == 0) ++swaps;
  });
  struct Unset {
    ~Unset() { HBRLocalFilesystem::setBeforeOpeningCheckedPath(nullptr); }
  } unset;

  for (const char* action : {"readAsText", "readAsBinaryString"}) {
    arm();
    Value arguments = std::string(action) == "readAsText" ? Value{url("swap.txt"), "UTF-8", 0, -1}
                                                         : Value{url("swap.txt"), 0, -1};
    Reply read = call(action, arguments);
    EXPECT_FILE_ERROR(read, IOException, 1);
    EXPECT_EQ(read.message.dump().find("secret"), std::string::npos) << action;
  }
  arm();
  EXPECT_FILE_ERROR(call("write", {url("swap.txt"), "owned", 0}), IOException, 6);
  arm();
  EXPECT_FILE_ERROR(call("write", {url("swap.txt"), "owned", 3}), IOException, 6);
  arm();
  EXPECT_FILE_ERROR(call("truncate", {url("swap.txt"), 0}), IOException, 6);
  EXPECT_EQ(swaps, 5);
  EXPECT_EQ(platform::fs::readFile(outside.file("secret.txt")), "secret");
  EXPECT_EQ(platform::fs::readFile(documents("own.txt")), "own");
}

// Links inside the root, to a file or to a folder, lead where they led before: the bytes
// written through them land in their target and come back exactly, and a write at a position
// through a link keeps what lies before it.
TEST_F(FileFixture, LinksInsideTheRootAreFollowedForReadsAndWritesByteForByte) {
  dir.write("data/Documents/real/target.bin", "0123456789");
  ASSERT_EQ(::symlink("real", documents("folder-link").c_str()), 0);
  ASSERT_EQ(::symlink("real/target.bin", documents("file-link.bin").c_str()), 0);
  auto readBack = [&](const std::string& relative) {
    Reply read = call("readAsBinaryString", {url(relative), 0, -1});
    return read.status == HBRResultStatus::OK ? read.message.get<std::string>() : std::string("(failed)");
  };
  for (size_t size : {1, 4095, 65536, 65537}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char('a' + (i * 7 + size) % 26);
    std::string name = "through-" + std::to_string(size) + ".bin";
    EXPECT_EQ(call("write", {url("folder-link/" + name), bytes, 0}).message, std::int64_t(size)) << size;
    EXPECT_EQ(platform::fs::readFile(documents("real/" + name)), bytes) << size;
    EXPECT_EQ(readBack("folder-link/" + name), bytes) << size;
    EXPECT_EQ(readBack("real/" + name), bytes) << size;
  }
  EXPECT_EQ(call("write", {url("file-link.bin"), "AB", 4}).message, 2);
  EXPECT_EQ(platform::fs::readFile(documents("real/target.bin")), "0123AB");
  EXPECT_EQ(readBack("file-link.bin"), "0123AB");
  EXPECT_EQ(call("write", {url("folder-link/target.bin"), "xyz", 0}).message, 3);
  EXPECT_EQ(readBack("file-link.bin"), "xyz");
  struct stat info {};
  EXPECT_TRUE(::lstat(documents("file-link.bin").c_str(), &info) == 0 && S_ISLNK(info.st_mode));
}

// A file system whose root is reached through a link: no path below it is free of links,
// and every read and write takes the way that resolves them, with the same bytes and the
// same refusals.
TEST(LocalFilesystemThroughALink, ReadsWritesAndRefusesAsARootWithoutOne) {
  testing_support::TempDir temp;
  temp.write("real/sub/old.bin", "old contents");
  temp.write("outside.txt", "secret");
  ASSERT_EQ(::symlink(temp.file("real").c_str(), temp.file("alias").c_str()), 0);
  ASSERT_EQ(::symlink(temp.file("outside.txt").c_str(), temp.file("real/sub/out-link.txt").c_str()), 0);
  HBRLocalFilesystem fs("linked", temp.file("alias"));
  auto at = [](const std::string& relative) {
    return HBRFilesystemURL::fileSystemURLWithString("hbrfile://localhost/linked/" + relative);
  };
  auto read = [&](const std::string& relative, std::int64_t start = 0, std::int64_t end = -1) {
    std::optional<std::string> got;
    int code = -1;
    fs.readFileAtURL(at(relative), start, end, [&](std::optional<std::string> bytes, std::optional<std::string>, int error) {
      got = std::move(bytes);
      code = error;
    });
    return got ? *got : "(error " + std::to_string(code) + ")";
  };
  for (size_t size : {1, 3, 65535, 65536, 65537}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char((i * 131 + 7) & 0xFF);
    std::string name = "sub/f" + std::to_string(size) + ".bin";
    auto written = fs.writeAtPosition(at(name), bytes, 0);
    EXPECT_EQ(written->status(), HBRResultStatus::OK) << size;
    EXPECT_EQ(platform::fs::readFile(temp.file("real/" + name)), bytes) << size;
    EXPECT_EQ(read(name), bytes) << size;
  }
  EXPECT_EQ(fs.writeAtPosition(at("sub/old.bin"), "NEW", 4)->status(), HBRResultStatus::OK);
  EXPECT_EQ(read("sub/old.bin"), "old NEW");
  EXPECT_EQ(read("sub/old.bin", 1, 3), "ld");
  EXPECT_EQ(read("sub/missing.bin"), "(error 1)");
  EXPECT_EQ(read("sub/out-link.txt"), "(error 2)");
  EXPECT_EQ(fs.writeAtPosition(at("sub/out-link.txt"), "owned", 0)->message(), Value(2));
  EXPECT_EQ(platform::fs::readFile(temp.file("outside.txt")), "secret");
}

// A file system whose every operation throws, as one that runs out of memory would.
class ThrowingFileSystem : public HBRLocalFilesystem {
 public:
  explicit ThrowingFileSystem(std::string root) : HBRLocalFilesystem("throwing", std::move(root)) {}
  void readFileAtURL(const HBRFilesystemURL&, std::int64_t, std::int64_t, ReadCallback) override {
    throw std::runtime_error("read failed");
  }
  void copyFileToURL(const HBRFilesystemURL&, const std::string&, HBRFileSystem&, const HBRFilesystemURL&, bool,
                     ResultCallback) override {
    throw std::bad_alloc();
  }
  HBRResultRef truncateFileAtURL(const HBRFilesystemURL&, std::uint64_t) override {
    throw std::runtime_error("truncate failed");
  }
  HBRResultRef writeAtPosition(const HBRFilesystemURL&, std::string_view, std::uint64_t) override {
    throw std::runtime_error("write failed");
  }
};

TEST_F(FileFixture, ABackgroundJobThatThrowsStillAnswers) {
  plugin->registerFilesystem(std::make_shared<ThrowingFileSystem>(documents()));
  dir.write("data/Documents/x.txt", "x");
  std::string thrown = url("x.txt", "throwing");
  EXPECT_FILE_ERROR(call("readAsText", {thrown, "UTF-8", 0, -1}), IOException, 4);
  EXPECT_FILE_ERROR(call("readAsDataURL", {thrown}), IOException, 4);
  EXPECT_FILE_ERROR(call("copyTo", {url("x.txt"), url("", "throwing"), "y.txt"}), IOException, 3);
  EXPECT_FILE_ERROR(call("write", {thrown, "data", 0}), IOException, 3);
}

}  // namespace
}  // namespace filetest

#include "platform/foundation/FileManager.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <optional>
#include <thread>

#include "support/TestSupport.h"

namespace fs = platform::fs;

TEST(FileManager, MoveAndCopyNeverReplaceTheTargetAndCopyTrees) {
  testing_support::TempDir dir;
  dir.write("a.txt", "A");
  dir.write("b.txt", "B");
  auto error = fs::move(dir.file("a.txt"), dir.file("b.txt"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, platform::kCocoaErrorDomain);
  EXPECT_EQ(error->code, fs::kFileWriteFileExistsError);
  EXPECT_EQ(fs::readFile(dir.file("a.txt")), "A");
  EXPECT_EQ(fs::readFile(dir.file("b.txt")), "B");

  EXPECT_FALSE(fs::move(dir.file("a.txt"), dir.file("c.txt")));
  EXPECT_FALSE(fs::exists(dir.file("a.txt")));
  EXPECT_EQ(fs::readFile(dir.file("c.txt")), "A");
  EXPECT_EQ(fs::move(dir.file("a.txt"), dir.file("d.txt"))->code, fs::kFileNoSuchFileError);

  dir.write("src/one.txt", "1");
  dir.write("src/sub/two.txt", "22");
  dir.write("dst/keep.txt", "keep");
  ASSERT_FALSE(fs::copy(dir.file("src"), dir.file("copy")));
  EXPECT_EQ(fs::readFile(dir.file("copy/sub/two.txt")), "22");
  EXPECT_EQ(fs::contentsOfDirectory(dir.file("copy")),
            (std::vector<std::string>{"one.txt", "sub"}));

  EXPECT_EQ(fs::copy(dir.file("src/one.txt"), dir.file("dst/keep.txt"))->code,
            fs::kFileWriteFileExistsError);
  EXPECT_EQ(fs::readFile(dir.file("dst/keep.txt")), "keep");
  EXPECT_EQ(fs::copy(dir.file("src"), dir.file("dst"))->code, fs::kFileWriteFileExistsError);

  EXPECT_FALSE(fs::remove(dir.file("copy")));
  EXPECT_FALSE(fs::exists(dir.file("copy")));
  EXPECT_EQ(fs::remove(dir.file("copy"))->code, fs::kFileNoSuchFileError);
}

TEST(FileManager, DirectoriesAndAtomicWrites) {
  testing_support::TempDir dir;
  EXPECT_FALSE(fs::createDirectory(dir.file("x/y/z"), true));
  EXPECT_FALSE(fs::createDirectory(dir.file("x/y/z"), true));
  EXPECT_EQ(fs::createDirectory(dir.file("x/y/z"), false)->code, fs::kFileWriteFileExistsError);
  auto missingParent = fs::createDirectory(dir.file("no/such"), false);
  ASSERT_TRUE(missingParent);
  EXPECT_EQ(missingParent->domain, platform::kPOSIXErrorDomain);
  EXPECT_EQ(missingParent->code, ENOENT);

  ASSERT_FALSE(fs::writeFileAtomically(dir.file("x/f"), "first"));
  ASSERT_FALSE(fs::writeFileAtomically(dir.file("x/f"), "second"));
  EXPECT_EQ(fs::readFile(dir.file("x/f")), "second");
  EXPECT_EQ(fs::fileSize(dir.file("x/f")), 6u);
  // No temporary file is left beside the target.
  EXPECT_EQ(fs::contentsOfDirectory(dir.file("x")), (std::vector<std::string>{"f", "y"}));
  EXPECT_TRUE(fs::writeFileAtomically(dir.file("missing/f"), "x"));
  EXPECT_TRUE(fs::freeSpace(dir.path()).has_value());
  EXPECT_FALSE(fs::readFile(dir.file("x")).has_value());
}

TEST(FileManager, LexicalNormalisationAndContainment) {
  EXPECT_EQ(fs::normalizePath("/a//b/./c/../d/"), "/a/b/d");
  EXPECT_EQ(fs::normalizePath("/../../x"), "/x");
  EXPECT_EQ(fs::normalizePath("a/../../b"), "../b");
  EXPECT_EQ(fs::normalizePath("a/.."), ".");
  EXPECT_EQ(fs::appendPath("/a/", "/b"), "/a/b");

  using Pair = std::pair<const char*, const char*>;  // path, folder
  for (auto [path, folder] : {Pair{"/root/www/../data/f", "/root"}, {"/root/", "/root"},
                              {"/root/a/../../root/b", "/root/"}, {"/anything", "/"}})
    EXPECT_TRUE(fs::isInside(path, folder)) << path;
  for (auto [path, folder] : {Pair{"/root/../etc/passwd", "/root"}, {"/root/a/../../rootx", "/root"},
                              {"/rootx/a", "/root"}, {"www/../../x", "www"}, {"../x", "."}, {"x", "/x"}})
    EXPECT_FALSE(fs::isInside(path, folder)) << path;
}

TEST(FileManager, ExcludedFromBackupMarkOnFilesAndFolders) {
  testing_support::TempDir dir;
  dir.write("db/data.sqlite", "x");
  for (const std::string& path : {dir.file("db"), dir.file("db/data.sqlite")}) {
    EXPECT_FALSE(fs::isExcludedFromBackup(path));
    auto error = fs::setExcludedFromBackup(path, true);
    if (error && error->code == ENOTSUP) GTEST_SKIP() << "no user extended attributes here";
    ASSERT_FALSE(error) << error->localizedDescription();
    EXPECT_TRUE(fs::isExcludedFromBackup(path));
    EXPECT_FALSE(fs::setExcludedFromBackup(path, false));
    EXPECT_FALSE(fs::isExcludedFromBackup(path));
    EXPECT_FALSE(fs::setExcludedFromBackup(path, false));  // clearing twice is not an error
  }
  auto missing = fs::setExcludedFromBackup(dir.file("missing"), true);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->code, ENOENT);
}

namespace {

mode_t modeOf(const std::string& path) {
  struct stat info {};
  ::lstat(path.c_str(), &info);
  return info.st_mode & 07777;
}

}  // namespace

TEST(FileManager, LinksAndFifosPlantedInATreeAreNeitherFollowedNorWaitedOn) {
  testing_support::TempDir dir;
  dir.write("victim/keep.txt", "keep");
  dir.write("tree/sub/file.txt", "x");
  ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("tree/sub/out").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("victim/keep.txt").c_str(), dir.file("tree/file-link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("tree/pipe").c_str(), 0600), 0);

  // Opening and reading a FIFO answers at once; a final link is refused where asked.
  EXPECT_FALSE(fs::readFile(dir.file("tree/pipe")));
  EXPECT_EQ(fs::ReadableFile::open(dir.file("tree/pipe")).error(), EINVAL);
  EXPECT_EQ(fs::ReadableFile::open(dir.file("tree/file-link"), false).error(), ELOOP);
  auto followed = fs::ReadableFile::open(dir.file("tree/file-link"));
  ASSERT_TRUE(followed.isOpen());
  EXPECT_EQ(followed.realPath(), fs::realPathAllowingMissing(dir.file("victim/keep.txt")));

  // A copy that meets the FIFO fails instead of waiting for a writer.
  auto copied = fs::copy(dir.file("tree"), dir.file("copy"));
  ASSERT_TRUE(copied);
  EXPECT_EQ(copied->code, EINVAL);

  // Emptying a folder that is a link touches nothing; emptying the real one removes the links
  // inside it, not what they lead to.
  ASSERT_EQ(::symlink(dir.file("tree").c_str(), dir.file("tree-link").c_str()), 0);
  auto refused = fs::removeContentsOfDirectory(dir.file("tree-link"));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->code, ELOOP);
  EXPECT_TRUE(fs::exists(dir.file("tree/sub/file.txt")));
  EXPECT_FALSE(fs::removeContentsOfDirectory(dir.file("tree")));
  EXPECT_TRUE(fs::isDirectory(dir.file("tree")) && fs::contentsOfDirectory(dir.file("tree")).empty());
  EXPECT_EQ(fs::readFile(dir.file("victim/keep.txt")), "keep");

  // Removing a tree removes a link in it as a link, and a link at the top as itself.
  dir.write("tree2/a.txt", "a");
  ASSERT_EQ(::symlink(dir.file("victim").c_str(), dir.file("tree2/out").c_str()), 0);
  EXPECT_FALSE(fs::remove(dir.file("tree2")));
  EXPECT_FALSE(fs::remove(dir.file("tree-link")));
  EXPECT_TRUE(!fs::exists(dir.file("tree2")) && !fs::exists(dir.file("tree-link")) && fs::isDirectory(dir.file("tree")));
  EXPECT_EQ(fs::readFile(dir.file("victim/keep.txt")), "keep");
}

TEST(FileManager, ATreeIsNeverCopiedIntoItselfAlsoNotThroughALink) {
  testing_support::TempDir dir;
  dir.write("a/one.txt", "1");
  ASSERT_EQ(::symlink(dir.file("a").c_str(), dir.file("into-a").c_str()), 0);
  for (const std::string& target : {dir.file("into-a/copy"), dir.file("a/copy"), dir.file("a")}) {
    auto error = fs::copy(dir.file("a"), target);
    ASSERT_TRUE(error) << target;
  }
  EXPECT_EQ(fs::contentsOfDirectory(dir.file("a")), std::vector<std::string>{"one.txt"});
  // Beside itself is fine.
  EXPECT_FALSE(fs::copy(dir.file("a"), dir.file("into-a-copy")));
  EXPECT_EQ(fs::readFile(dir.file("into-a-copy/one.txt")), "1");
}

TEST(FileManager, WhatIsCreatedIsTheUsersAloneWhateverTheUmask) {
  testing_support::TempDir dir;
  mode_t saved = ::umask(0);
  EXPECT_FALSE(fs::createDirectory(dir.file("made/deep"), true));
  EXPECT_FALSE(fs::createDirectory(dir.file("made/single"), false));
  EXPECT_FALSE(fs::writeFileAtomically(dir.file("made/new.txt"), "new"));
  std::string open = dir.write("open.txt", "open");
  ::chmod(open.c_str(), 0666);
  ::chmod(dir.file("made").c_str(), 0777);
  EXPECT_FALSE(fs::copy(dir.file("made"), dir.file("copied")));
  EXPECT_FALSE(fs::copy(open, dir.file("copied/open.txt")));
  EXPECT_FALSE(fs::writeFileAtomically(open, "replaced"));
  ::umask(saved);
  for (const char* folder : {"made/deep", "made/single", "copied", "copied/deep"})
    EXPECT_EQ(modeOf(dir.file(folder)), 0700u) << folder;
  for (const char* file : {"made/new.txt", "copied/new.txt", "copied/open.txt", "open.txt"})
    EXPECT_EQ(modeOf(dir.file(file)), 0600u) << file;
}

TEST(FileManager, AReadLargerThanTheProcessCanHoldIsRefused) {
  testing_support::TempDir dir;
  std::uint64_t maximum = fs::maximumReadSize();
  long pages = ::sysconf(_SC_PHYS_PAGES), pageSize = ::sysconf(_SC_PAGESIZE);
  EXPECT_GT(maximum, 0u);
  EXPECT_LE(maximum, std::uint64_t(pages) * std::uint64_t(pageSize) / 4);
  // A sparse file one byte past the limit costs the disk nothing.
  std::string sparse = dir.write("sparse.bin", "");
  ASSERT_EQ(::truncate(sparse.c_str(), off_t(maximum + 1)), 0);
  EXPECT_FALSE(fs::readFile(sparse));
}

namespace {
std::optional<std::string> libcRealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return std::nullopt;
  return std::string(resolved);
}
}  // namespace

// A path without links is answered in one lookup, everything else as realpath(3) does: the
// answers must be the C library's, whatever mix of links, dots and missing entries a path holds.
TEST(FileManager, RealPathsAreTheCLibrarysForLinksDotsAndMissingEntries) {
  testing_support::TempDir dir;
  dir.write("real/sub/file.txt", "f");
  ASSERT_EQ(::symlink(dir.file("real").c_str(), dir.file("abs-link").c_str()), 0);
  ASSERT_EQ(::symlink("real/sub", dir.file("rel-link").c_str()), 0);
  ASSERT_EQ(::symlink("real/sub/file.txt", dir.file("file-link").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);
  ASSERT_EQ(::symlink("loop-b", dir.file("loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", dir.file("loop-b").c_str()), 0);
  ASSERT_EQ(::symlink("..", dir.file("real/up").c_str()), 0);

  for (const char* relative :
       {"real/sub/file.txt", "real/sub/", "real//sub/./file.txt", "real/sub/../sub/file.txt", "real/sub/..",
        "abs-link/sub/file.txt", "rel-link/file.txt", "rel-link/..", "file-link", "real/up/abs-link/sub",
        "real/up/real/up", "dangling", "loop-a", "loop-a/x", "missing", "missing/..", "real/missing/x",
        "real/sub/file.txt/", "real/sub/file.txt/x", "real/sub/file.txt/.."}) {
    std::string path = dir.file(relative);
    EXPECT_EQ(fs::realPath(path), libcRealPath(path)) << relative;
  }
  for (const char* absolute : {"/", "//", "/.", "/..", "/../.."}) EXPECT_EQ(fs::realPath(absolute), "/") << absolute;
  // A relative path is taken from the working directory, as the C library takes it.
  std::string here = fs::currentDirectory();
  ASSERT_EQ(::chdir(dir.file("real").c_str()), 0);
  EXPECT_EQ(fs::realPath("sub/file.txt"), libcRealPath("sub/file.txt"));
  EXPECT_EQ(fs::realPath("sub/file.txt"), libcRealPath(dir.file("real/sub/file.txt")));
  ASSERT_EQ(::chdir(here.c_str()), 0);

  // The part that is not there yet is kept below the real folder that is.
  std::string real = *libcRealPath(dir.file("real"));
  EXPECT_EQ(fs::realPathAllowingMissing(dir.file("abs-link/new/file")), real + "/new/file");
  EXPECT_EQ(fs::realPathAllowingMissing(dir.file("rel-link/new")), real + "/sub/new");
  EXPECT_EQ(fs::realPathAllowingMissing(dir.file("real/sub/new")), real + "/sub/new");
  EXPECT_EQ(fs::realPathAllowingMissing(dir.file("dangling")), std::nullopt);
  EXPECT_EQ(fs::realPathAllowingMissing(dir.file("loop-a/new")), std::nullopt);
}

// A descriptor only where the lookup met no link: not in the last component, not in a folder
// on the way, not through "..", and a file made only below folders that no link bends.
TEST(FileManager, OpensWithoutLinksOnlyWhereTheKernelMetNone) {
  testing_support::TempDir temp;
  // The temporary folder's own path may pass through a link; the test's paths do not.
  std::string dir = *libcRealPath(temp.path());
  temp.write("real/sub/file.txt", "f");
  ASSERT_EQ(::symlink("real", (dir + "/folder-link").c_str()), 0);
  ASSERT_EQ(::symlink("real/sub/file.txt", (dir + "/file-link").c_str()), 0);
  ASSERT_EQ(::symlink("..", (dir + "/real/up").c_str()), 0);

  int fd = fs::openWithoutLinks(dir + "/real/sub/file.txt", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  char byte = 0;
  EXPECT_EQ(::read(fd, &byte, 1), 1);
  EXPECT_EQ(byte, 'f');
  EXPECT_EQ(fs::pathOfDescriptor(fd), dir + "/real/sub/file.txt");
  ::close(fd);
  for (const char* linked : {"/file-link", "/folder-link/sub/file.txt", "/real/up/real/sub/file.txt"}) {
    errno = 0;
    EXPECT_EQ(fs::openWithoutLinks(dir + linked, O_RDONLY | O_CLOEXEC), -1) << linked;
    EXPECT_EQ(errno, ELOOP) << linked;
  }
  errno = 0;
  EXPECT_EQ(fs::openWithoutLinks(dir + "/real/missing.txt", O_RDONLY | O_CLOEXEC), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(fs::openWithoutLinks("real/sub/file.txt", O_RDONLY | O_CLOEXEC), -1);
  EXPECT_EQ(errno, EINVAL) << "a relative path has no place to start from";

  fd = fs::openWithoutLinks(dir + "/real/new.txt", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ::close(fd);
  struct stat info {};
  ASSERT_EQ(::stat((dir + "/real/new.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(fs::openWithoutLinks(dir + "/folder-link/made.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0600), -1);
  EXPECT_FALSE(fs::exists(dir + "/real/made.txt"));
}

// A descriptor opened elsewhere is checked as open() checks its own: a regular file, read
// without O_NONBLOCK, with its size; anything else is closed and reported.
TEST(FileManager, AnAdoptedDescriptorIsCheckedAsAnOpenedOne) {
  testing_support::TempDir dir;
  dir.write("file.txt", "12345");
  auto file = fs::ReadableFile::adopt(::open(dir.file("file.txt").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_TRUE(file.isOpen());
  EXPECT_EQ(file.size(), 5u);
  EXPECT_EQ(::fcntl(file.fd(), F_GETFL) & O_NONBLOCK, 0);

  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
  for (const std::string& other : {dir.path(), dir.file("pipe")}) {
    int fd = ::open(other.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << other;
    auto refused = fs::ReadableFile::adopt(fd);
    EXPECT_FALSE(refused.isOpen()) << other;
    EXPECT_EQ(refused.error(), EINVAL) << other;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1) << other << ": the refused descriptor is closed";
  }
}

// Reading without waiting reads a file whose every byte is in memory, whole (through a link
// too, empty too), and nothing else: a file over the limit, a folder, a FIFO (without waiting
// on a writer), a missing file, and a file the kernel would first have to fetch from the disk.
TEST(FileManager, ReadingWithoutWaitingReadsOnlyWhatIsInMemory) {
  testing_support::TempDir dir;
  std::string content(100000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
  dir.write("a.bin", content);
  dir.write("empty", "");
  ASSERT_EQ(fs::readFile(dir.file("a.bin")), content);
  // What is in memory is read; a read may still give up when the kernel is busy with the file
  // at that moment (a lock another task holds), so a read that should succeed gets a few tries.
  auto readsFromMemory = [&](const std::string& path, std::uint64_t limit) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (auto data = fs::readFileIfCached(path, limit)) return data;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::optional<std::string>();
  };
  EXPECT_TRUE(readsFromMemory(dir.file("a.bin"), 1 << 20) == content);
  EXPECT_TRUE(readsFromMemory(dir.file("a.bin"), content.size()) == content);
  EXPECT_EQ(fs::readFileIfCached(dir.file("a.bin"), content.size() - 1), std::nullopt);
  EXPECT_EQ(readsFromMemory(dir.file("empty"), 1 << 20), "");
  ASSERT_EQ(::symlink(dir.file("a.bin").c_str(), dir.file("link").c_str()), 0);
  // The link's own lookup is made once the way that may wait, so that it is in memory too.
  ASSERT_TRUE(fs::readFile(dir.file("link")) == content);
  EXPECT_TRUE(readsFromMemory(dir.file("link"), 1 << 20) == content);
  EXPECT_EQ(fs::readFileIfCached(dir.path(), 1 << 20), std::nullopt);
  EXPECT_EQ(fs::readFileIfCached(dir.file("missing"), 1 << 20), std::nullopt);
  EXPECT_EQ(fs::readFileIfCached("", 1 << 20), std::nullopt);
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  EXPECT_EQ(fs::readFileIfCached(dir.file("fifo"), 1 << 20), std::nullopt);
  fs::setReadsIfCachedWaitForTesting(true);
  EXPECT_EQ(fs::readFileIfCached(dir.file("a.bin"), 1 << 20), std::nullopt);
  fs::setReadsIfCachedWaitForTesting(false);

  // Written to the disk and dropped from memory, where the file system lets it go (a file
  // system in memory keeps it, and then it is read).
  const int fd = ::open(dir.file("a.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fsync(fd), 0);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  void* mapped = ::mmap(nullptr, content.size(), PROT_READ, MAP_SHARED, fd, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  unsigned char resident[32] = {};
  ASSERT_EQ(::mincore(mapped, content.size(), resident), 0);
  ::munmap(mapped, content.size());
  ::close(fd);
  bool allResident = true;
  for (size_t page = 0; page * 4096 < content.size(); ++page) allResident = allResident && (resident[page] & 1);
  if (!allResident) {
    EXPECT_EQ(fs::readFileIfCached(dir.file("a.bin"), 1 << 20), std::nullopt);
  }
  EXPECT_TRUE(fs::readFile(dir.file("a.bin")) == content);
  EXPECT_TRUE(readsFromMemory(dir.file("a.bin"), 1 << 20) == content);
}

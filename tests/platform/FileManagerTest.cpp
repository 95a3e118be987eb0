#include "platform/foundation/FileManager.h"

#include <gtest/gtest.h>

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

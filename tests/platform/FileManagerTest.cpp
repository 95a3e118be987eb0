#include "platform/foundation/FileManager.h"

#include <gtest/gtest.h>

#include "PlatformTestFolder.h"

namespace fs = platform::fs;

TEST(FileManager, MoveNeverReplacesTheTarget) {
  PlatformTestFolder dir;
  dir.write("a.txt", "A");
  dir.write("b.txt", "B");
  auto error = fs::move(dir / "a.txt", dir / "b.txt");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, platform::kCocoaErrorDomain);
  EXPECT_EQ(error->code, fs::kFileWriteFileExistsError);
  EXPECT_EQ(fs::readFile(dir / "a.txt"), "A");
  EXPECT_EQ(fs::readFile(dir / "b.txt"), "B");

  EXPECT_FALSE(fs::move(dir / "a.txt", dir / "c.txt"));
  EXPECT_FALSE(fs::exists(dir / "a.txt"));
  EXPECT_EQ(fs::readFile(dir / "c.txt"), "A");
  EXPECT_EQ(fs::move(dir / "a.txt", dir / "d.txt")->code, fs::kFileNoSuchFileError);
}

TEST(FileManager, CopyNeverOverwritesAndCopiesTrees) {
  PlatformTestFolder dir;
  dir.write("src/one.txt", "1");
  dir.write("src/sub/two.txt", "22");
  dir.write("dst/keep.txt", "keep");
  ASSERT_FALSE(fs::copy(dir / "src", dir / "copy"));
  EXPECT_EQ(fs::readFile(dir / "copy/sub/two.txt"), "22");
  EXPECT_EQ(fs::contentsOfDirectory(dir / "copy"), (std::vector<std::string>{"one.txt", "sub"}));

  EXPECT_EQ(fs::copy(dir / "src/one.txt", dir / "dst/keep.txt")->code, fs::kFileWriteFileExistsError);
  EXPECT_EQ(fs::readFile(dir / "dst/keep.txt"), "keep");
  EXPECT_EQ(fs::copy(dir / "src", dir / "dst")->code, fs::kFileWriteFileExistsError);

  EXPECT_FALSE(fs::remove(dir / "copy"));
  EXPECT_FALSE(fs::exists(dir / "copy"));
  EXPECT_EQ(fs::remove(dir / "copy")->code, fs::kFileNoSuchFileError);
}

TEST(FileManager, DirectoriesAndAtomicWrites) {
  PlatformTestFolder dir;
  EXPECT_FALSE(fs::createDirectory(dir / "x/y/z", true));
  EXPECT_FALSE(fs::createDirectory(dir / "x/y/z", true));
  EXPECT_EQ(fs::createDirectory(dir / "x/y/z", false)->code, fs::kFileWriteFileExistsError);
  auto missingParent = fs::createDirectory(dir / "no/such", false);
  ASSERT_TRUE(missingParent);
  EXPECT_EQ(missingParent->domain, platform::kPOSIXErrorDomain);
  EXPECT_EQ(missingParent->code, ENOENT);

  ASSERT_FALSE(fs::writeFileAtomically(dir / "x/f", "first"));
  ASSERT_FALSE(fs::writeFileAtomically(dir / "x/f", "second"));
  EXPECT_EQ(fs::readFile(dir / "x/f"), "second");
  EXPECT_EQ(fs::fileSize(dir / "x/f"), 6u);
  // No temporary file is left beside the target.
  EXPECT_EQ(fs::contentsOfDirectory(dir / "x"), (std::vector<std::string>{"f", "y"}));
  EXPECT_TRUE(fs::writeFileAtomically(dir / "missing/f", "x"));
  EXPECT_TRUE(fs::freeSpace(dir.path()).has_value());
  EXPECT_FALSE(fs::readFile(dir / "x").has_value());
}

TEST(FileManager, LexicalNormalisationAndContainment) {
  EXPECT_EQ(fs::normalizePath("/a//b/./c/../d/"), "/a/b/d");
  EXPECT_EQ(fs::normalizePath("/../../x"), "/x");
  EXPECT_EQ(fs::normalizePath("a/../../b"), "../b");
  EXPECT_EQ(fs::normalizePath("a/.."), ".");
  EXPECT_EQ(fs::appendPath("/a/", "/b"), "/a/b");

  EXPECT_TRUE(fs::isInside("/root/www/../data/f", "/root"));
  EXPECT_TRUE(fs::isInside("/root/", "/root"));
  EXPECT_TRUE(fs::isInside("/root/a/../../root/b", "/root/"));
  EXPECT_FALSE(fs::isInside("/root/../etc/passwd", "/root"));
  EXPECT_FALSE(fs::isInside("/root/a/../../rootx", "/root"));
  EXPECT_FALSE(fs::isInside("/rootx/a", "/root"));
  EXPECT_FALSE(fs::isInside("www/../../x", "www"));
  EXPECT_FALSE(fs::isInside("../x", "."));
  EXPECT_FALSE(fs::isInside("x", "/x"));
  EXPECT_TRUE(fs::isInside("/anything", "/"));
}

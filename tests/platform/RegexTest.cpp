#include "platform/foundation/Regex.h"

#include <gtest/gtest.h>

#include <thread>

using platform::Regex;

TEST(Regex, LiteralsGroupsLazyQuantifiersAndLiteralReplacement) {
  auto literal = Regex::make(Regex::escape("a.b(c)*"), true);
  ASSERT_TRUE(literal);
  EXPECT_TRUE(literal->matches("xxA.B(C)*yy"));
  EXPECT_FALSE(literal->matches("aXb(c)*"));
  EXPECT_FALSE(Regex::make("a.b", false)->matches("A.B"));
  EXPECT_FALSE(Regex::make("(unclosed").has_value());
  EXPECT_FALSE(Regex::make(std::string_view("a\0b", 3)).has_value());
  // Dot crosses line breaks only when asked.
  EXPECT_FALSE(Regex::make("a.b")->matches("a\nb"));
  EXPECT_TRUE(Regex::make("a.b", false, true)->matches("a\nb"));

  auto tags = Regex::make("<(\\w+?)(\\d)?>");
  ASSERT_TRUE(tags);
  auto first = tags->firstMatch("text <ab1><cd>");
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, (std::vector<std::string>{"<ab1>", "ab", "1"}));
  auto all = tags->allMatches("text <ab1><cd>");
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[1], (std::vector<std::string>{"<cd>", "cd", ""}));
  EXPECT_FALSE(tags->firstMatch("none").has_value());

  // The replacement is literal: "$1" and "\\0" stay as written.
  EXPECT_EQ(Regex::make("\\d+")->replaceAll("a1b22c", "$1\\0"), "a$1\\0b$1\\0c");
  EXPECT_EQ(Regex::make("x*")->replaceAll("ab", "-"), "-a-b-");
  // Subjects that are not UTF-8 are still searched, byte by byte.
  EXPECT_TRUE(Regex::make("b\\d")->matches("\xFF\xFE" "b7"));
}

TEST(Regex, MegabyteInputsDoNotExhaustTheStack) {
  const std::string line(2 * 1024 * 1024, 'a');
  auto whole = Regex::make("^(.*)$")->firstMatch(line);
  ASSERT_TRUE(whole);
  EXPECT_EQ((*whole)[1].size(), line.size());
  // Alternation inside a repeat backtracks once per character.
  auto alternation = Regex::make("(?:a|b)*c");
  EXPECT_FALSE(alternation->matches(line));
  EXPECT_TRUE(alternation->matches(line + "c"));
  EXPECT_EQ(Regex::make("a+")->replaceAll(line + "b" + line, "x"), "xbx");
}

TEST(Regex, CopiesShareOnePatternAcrossThreads) {
  auto regex = Regex::make("id=(\\d+);");
  ASSERT_TRUE(regex);
  std::vector<std::thread> threads;
  std::atomic<int> found{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([copy = *regex, t, &found] {
      for (int i = 0; i < 500; ++i) {
        std::string text = "x id=" + std::to_string(t * 1000 + i) + "; y";
        auto match = copy.firstMatch(text);
        if (match && (*match)[1] == std::to_string(t * 1000 + i)) ++found;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(found, 2000);
}

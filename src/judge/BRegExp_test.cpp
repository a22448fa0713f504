#include "judge/BRegExp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace quillbox {
namespace {

struct MatchCase {
  const char* expression;
  const char* target;
  int matched;
  const char* whole;  // Strings(0) after a match
};

std::string StringsError(TBRegExp& re, int index) {
  try {
    re.Strings(index);
  } catch (const EBRegExpError& e) {
    return e.Message();
  }
  return "no error";
}

TEST(BRegExpTest, MatchesAndYieldsTheWholeMatch) {
  const MatchCase cases[] = {
      {"m/^Received:/i", "received: from a by b", 1, "received:"},
      {"m/^Received:/i", "RECEIVED: from a", 1, "RECEIVED:"},
      {"m/^Received:/i", "X-Received: from a", 0, ""},
      {"m/^Received:/", "received: from a", 0, ""},
      {"m/[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+/", "from mx [203.0.113.7] by b", 1, "203.0.113.7"},
      {"m/[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+/", "from 0203.00.113.0007 x", 1, "0203.00.113.0007"},
      {"m/[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+/", "no address 1.2.3 here", 0, ""},
      // Delimiters: any punctuation, brackets closing with their partner and nesting inside.
      {"m#a/b#", "xa/by", 1, "a/b"},
      {"m!ab!i", "xABy", 1, "AB"},
      {"m{a{2}}", "caab", 1, "aa"},
      {"m(b(c))", "abcd", 1, "bc"},
      {"m[x[0-9]]", "ax7", 1, "x7"},
      {"m<a>", "cab", 1, "a"},
      {"m/a\\/b/", "a/b", 1, "a/b"},
      {"m /ab/", "ab", 1, "ab"},
      {"m/ab/i  ", "AB", 1, "AB"},
      // Modifiers m, s and x.
      {"m/^b$/m", "a\nb\nc", 1, "b"},
      {"m/^b$/", "a\nb\nc", 0, ""},
      {"m/a.c/s", "a\nc", 1, "a\nc"},
      {"m/a.c/", "a\nc", 0, ""},
      {"m/a b c/x", "abc", 1, "abc"},
      // "m" alone, as an empty match string or a blank rule line makes it, matches nothing.
      {"m", "anything", 0, ""},
      {"m   ", "anything", 0, ""},
      // Single-byte text: bytes above 0x7f are ordinary characters.
      {"m/\xe9t\xe9/", "caf\xe9t\xe9", 1, "\xe9t\xe9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.expression) + " ~ " + c.target);
    TBRegExp re;
    ASSERT_EQ(c.matched, re.Match(c.expression, c.target));
    if (c.matched == 1) {
      EXPECT_EQ(c.whole, re.Strings(0));
    }
  }
}

TEST(BRegExpTest, RejectsExpressionsWithAClearReason) {
  const struct {
    const char* expression;
    const char* message;
  } cases[] = {
      {"m/ab/g", "unknown modifier 'g' in match expression: only i, m, s and x are allowed"},
      {"m/ab/ i", "unknown modifier ' ' in match expression: only i, m, s and x are allowed"},
      {"m/ab", "missing closing delimiter '/' in match expression"},
      {"m{a{b}", "missing closing delimiter '}' in match expression"},
      {"mab", "invalid delimiter 'a' in match expression: use a punctuation character such as /"},
      {"m1a1", "invalid delimiter '1' in match expression: use a punctuation character such as /"},
      {"/ab/", "match expression does not begin with \"m\""},
      {"", "match expression does not begin with \"m\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expression);
    TBRegExp re;
    try {
      re.Match(c.expression, "ab");
      ADD_FAILURE() << "no error";
    } catch (const EBRegExpError& e) {
      EXPECT_EQ(c.message, e.Message());
    }
  }
}

TEST(BRegExpTest, EngineErrorCarriesTheEngineTextAndLeavesNoStrings) {
  TBRegExp re;
  ASSERT_EQ(1, re.Match("m/a/", "a"));
  try {
    re.Match("m/a(b/", "ab");
    FAIL() << "no error";
  } catch (const EBRegExpError& e) {
    EXPECT_EQ("missing closing parenthesis at offset 3", e.Message());
  }
  EXPECT_EQ("no strings now", StringsError(re, 0));
  EXPECT_EQ(0, re.GroupCount());
}

TEST(BRegExpTest, StringsRefusesWithoutAMatchOrOutsideTheGroups) {
  TBRegExp re;
  EXPECT_EQ("no strings now", StringsError(re, 0));
  ASSERT_EQ(1, re.Match("m/b/", "abc"));
  EXPECT_EQ(1, re.GroupCount());
  EXPECT_EQ("index out of range", StringsError(re, 1));
  EXPECT_EQ("index out of range", StringsError(re, -1));
  ASSERT_EQ(0, re.Match("m/b/", "xyz"));
  EXPECT_EQ("no strings now", StringsError(re, 0));
}

TEST(BRegExpTest, GroupsOfTheLastMatchSurviveTheCallersText) {
  TBRegExp re;
  std::string target = "user@host.example";
  ASSERT_EQ(1, re.Match("m/(\\w+)@(x)?([a-z.]+)/", target));
  target.assign(100, 'z');
  EXPECT_EQ(4, re.GroupCount());
  EXPECT_EQ("user@host.example", re.Strings(0));
  EXPECT_EQ("user", re.Strings(1));
  EXPECT_EQ("", re.Strings(2));  // took no part in the match
  EXPECT_EQ("host.example", re.Strings(3));
}

TEST(BRegExpTest, CompilesARepeatedExpressionOnceAndFreesBeforeAnother) {
  TBRegExp re(1);
  re.Match("m/a/", "a");
  re.Match("m/a/", "b");
  EXPECT_EQ(1, re.Compilations());
  re.Match("m/b/", "b");
  EXPECT_EQ(2, re.Compilations());
  EXPECT_EQ(1u, re.CachedExpressions());
  re.Match("m/a/", "a");
  EXPECT_EQ(3, re.Compilations());
}

TEST(BRegExpTest, KeepsABoundedSetOfCompiledExpressions) {
  TBRegExp re(3);
  for (int round = 0; round < 5; ++round) {
    for (const char* e : {"m/a/", "m/b/", "m/c/"})
      re.Match(e, "abc");
  }
  EXPECT_EQ(3, re.Compilations());
  re.Match("m/d/", "d");  // evicts the least recently used, m/a/
  re.Match("m/c/", "c");
  EXPECT_EQ(4, re.Compilations());
  re.Match("m/a/", "a");
  EXPECT_EQ(5, re.Compilations());
  EXPECT_EQ(3u, re.CachedExpressions());
}

TEST(BRegExpTest, PathologicalExpressionFailsInsteadOfHanging) {
  TBRegExp re;
  const std::string target = std::string(5000, 'a') + "!";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(re.Match("m/^(a+)+$/", target), EBRegExpLimitError);
  EXPECT_THROW(re.Match("m/^(\\w+\\s?)*$/", target), EBRegExpLimitError);
  EXPECT_THROW(re.Match("m/^(a|aa)+$/", std::string(40, 'a') + "!"), EBRegExpLimitError);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(BRegExpTest, HonestExpressionOverALongLineStaysInsideTheBounds) {
  TBRegExp re;
  std::string line = "Received: from x (";
  for (int i = 0; i < 800; ++i)
    line += "word" + std::to_string(i) + " ";
  line += "[198.51.100.9]) by mx.example.net";
  ASSERT_EQ(1, re.Match("m/^Received: from (\\S+ )*\\(.*\\[([0-9.]+)\\]\\)/i", line));
  EXPECT_EQ("198.51.100.9", re.Strings(2));
}

TEST(BRegExpTest, EachThreadHasItsOwnSharedMatcher) {
  TBRegExp* mine = &SharedRegExp();
  TBRegExp* theirs = nullptr;
  std::thread([&] { theirs = &SharedRegExp(); }).join();
  EXPECT_EQ(mine, &SharedRegExp());
  EXPECT_NE(mine, theirs);
}

}  // namespace
}  // namespace quillbox

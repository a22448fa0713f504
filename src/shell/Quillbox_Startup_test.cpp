#include "shell/Quillbox_Startup.h"

#include <gtest/gtest.h>

namespace quillbox {
namespace {

TEST(ChangeFileExtTest, ReplacesOrAppendsTheExtensionOfTheLastPathElement) {
  struct Case {
    const char* path;
    const char* expected;
  } cases[] = {
      {"/usr/bin/quillboxd", "/usr/bin/quillboxd.ini"},
      {"/opt/q.b/quillbox", "/opt/q.b/quillbox.ini"},
      {"/opt/quillbox.exe", "/opt/quillbox.ini"},
      {"/home/a/.quillbox", "/home/a/.quillbox.ini"},
      {"quillbox.x.y", "quillbox.x.ini"},
      {"", ".ini"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ChangeFileExt(c.path, ".ini"), c.expected) << c.path;
}

TEST(CertificateHostNameTest, OnlyNamesThatCannotAddANameOfTheirOwnPass) {
  struct Case {
    const char* name;
    const char* expected;
  } cases[] = {
      {"Desk-1.Example", "desk-1.example"},
      {"", ""},
      {"localhost", ""},
      {"a,DNS:evil.example", ""},
      {"a b", ""},
      {"-a", ""},
      {".a", ""},
      {"caf\xc3\xa9", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CertificateHostName(c.name), c.expected) << c.name;
  EXPECT_EQ(CertificateHostName(std::string(254, 'a')), "");
}

TEST(ReadCommandLineTest, LastUpperCaseIWithAPathWins) {
  struct Case {
    std::vector<std::string> arguments;
    const char* expected;
  } cases[] = {
      {{}, "default.ini"},
      {{"-I/tmp/a.ini"}, "/tmp/a.ini"},
      {{"-i/tmp/a.ini"}, "default.ini"},
      {{"-I/tmp/a.ini", "x", "-I/tmp/b.ini"}, "/tmp/b.ini"},
      {{"-I/tmp/a.ini", "-I"}, "/tmp/a.ini"},
      {{"-I"}, "default.ini"},
      {{"-I has spaces"}, " has spaces"},
      {{"--I/tmp/a.ini"}, "default.ini"},
  };
  for (const auto& c : cases) {
    std::string iniFileName = "default.ini";
    ReadCommandLine(c.arguments, iniFileName);
    EXPECT_EQ(iniFileName, c.expected);
  }
}

TEST(BannerLinesTest, ElevenLinesWithTheLegendOneColumnWiderThanThePrefixes) {
  const std::vector<std::string> lines = BannerLines("3.0.0.11", "quillboxd");
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_EQ(lines[0], "Hello.  Welcome to the Quillbox Version 3.0.0.11");
  EXPECT_NE(lines[1].find("quillboxd"), std::string::npos);
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "The log will be displayed in this area.");
  const char* prefixes[] = {"C->P    ", "   P->S ", "   P<-S ", "C<-P    ", "   P    "};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(lines[4 + i].substr(0, 9), std::string(prefixes[i]) + " ") << i;
    EXPECT_NE(lines[4 + i][9], ' ') << i;
  }
  EXPECT_EQ(lines[8], "   P     Internal message by proxy.");
  EXPECT_EQ(lines[9], "The \"proxy\" means the Quillbox, of course. :-)");
  EXPECT_EQ(lines[10], "");
  EXPECT_EQ(GreetingText("3.0.0.11"), "Welcome to the Quillbox Version 3.0.0.11");
}

TEST(TerminalSafeLineTest, ControlCharactersBecomeQuestionMarksTextStays) {
  struct Case {
    std::string line;
    std::string expected;
  } cases[] = {
      {"   P<-S +OK\tready", "   P<-S +OK\tready"},
      {"C->P    USER \x1b]0;owned\x07", "C->P    USER ?]0;owned?"},
      {"two\r\nC->P    PASS fake", "two??C->P    PASS fake"},
      {std::string("nul\0del\x7f", 8), "nul?del?"},
      {"\xe3\x81\x82\x81\x40", "\xe3\x81\x82\x81\x40"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(TerminalSafeLine(c.line), c.expected);
}

TEST(FormatDateTimeTest, EnglishMonthsTwoDigitFieldsAndA24HourClock) {
  struct Case {
    int year, month, day, hour, minute, second;
    const char* expected;
  } cases[] = {
      {2026, 11, 7, 3, 0, 44, "Dec/07/2026 03:00:44"},
      {2027, 0, 31, 23, 59, 59, "Jan/31/2027 23:59:59"},
      {2026, 4, 1, 12, 5, 9, "May/01/2026 12:05:09"},
      {2026, 14, 0, 25, -1, 99, "Dec/01/2026 23:00:60"},
  };
  for (const auto& c : cases) {
    std::tm time{};
    time.tm_year = c.year - 1900;
    time.tm_mon = c.month;
    time.tm_mday = c.day;
    time.tm_hour = c.hour;
    time.tm_min = c.minute;
    time.tm_sec = c.second;
    EXPECT_EQ(FormatDateTime(time), c.expected);
  }
}

}  // namespace
}  // namespace quillbox

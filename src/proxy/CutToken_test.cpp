#include "proxy/CutToken.h"

#include <gtest/gtest.h>

namespace quillbox {
namespace {

TEST(CutTokenTest, CutsAtTheFirstDelimiterAndTrimsOnlyTheToken) {
  struct Case {
    std::string text;
    char delimiter;
    std::string token, rest;
  } cases[] = {
      {"alice#host:110;C:\\mail\\a.ini", '#', "alice", "host:110;C:\\mail\\a.ini"},
      {"host:110;C:\\mail\\a.ini", ':', "host", "110;C:\\mail\\a.ini"},
      {"192.0.2.10\t:995;rules.ini", ':', "192.0.2.10", "995;rules.ini"},
      {":110;r", ':', "", "110;r"},
      {" no delimiter \t", ';', "no delimiter", ""},
      {"+OK  320", ' ', "+OK", " 320"},
      {" 320", ' ', "", "320"},
      {"a; rest ", ';', "a", " rest "},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    EXPECT_EQ(CutToken(text, c.delimiter), c.token) << c.text;
    EXPECT_EQ(text, c.rest) << c.text;
  }
}

}  // namespace
}  // namespace quillbox

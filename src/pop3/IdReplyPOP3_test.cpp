#include "pop3/IdReplyPOP3.h"

#include <gtest/gtest.h>

#include "net/IdException.h"

namespace quillbox {
namespace {

using Lines = std::vector<std::string>;

TEST(IdReplyPOP3Test, NewReplyIsBareOk) {
  EXPECT_EQ(TIdReplyPOP3().FormatLines(), Lines{"+OK"});
}

TEST(IdReplyPOP3Test, FormatLines) {
  struct Case {
    std::string code;
    std::string text;
    Lines expected;
  } cases[] = {
      {"+OK", "", {"+OK"}},
      {"+OK", "Login OK", {"+OK Login OK"}},
      {"-ERR", "a\r\nb", {"-ERR-a", "-ERR b"}},
      {"-ERR",
       "Socket Error # 10061\r\nConnection refused.",
       {"-ERR-Socket Error # 10061", "-ERR Connection refused."}},
      {"", "a\nb", {"a", "b"}},
      {"", "", {}},
  };
  for (const auto& c : cases) {
    TIdReplyPOP3 reply;
    reply.SetCodeAndText(c.code, c.text);
    EXPECT_EQ(reply.FormatLines(), c.expected) << c.code << " " << c.text;
  }
}

TEST(IdReplyPOP3Test, TextSplitsAtEveryLineBreakAndEndsAtNul) {
  struct Case {
    std::string text;
    Lines expected;
  } cases[] = {
      {"a\r\nb", {"a", "b"}},
      {"a\rb", {"a", "b"}},
      {"a\nb", {"a", "b"}},
      {"a\r\n", {"a"}},
      {"a\n\nb", {"a", "", "b"}},
      {"a\n\rb", {"a", "", "b"}},
      {"", {}},
      {std::string("a\0b", 3), {"a"}},
      {"\r\n", {""}},
  };
  for (const auto& c : cases) {
    TIdReplyPOP3 reply;
    reply.SetCodeAndText("+OK", c.text);
    EXPECT_EQ(reply.Text(), c.expected);
  }
}

TEST(IdReplyPOP3Test, CodeValidation) {
  for (const char* valid : {"+OK", "+ok", "-ERR", "-err", "+", "", "   "}) {
    TIdReplyPOP3 reply;
    EXPECT_NO_THROW(reply.SetCode(valid)) << valid;
  }
  TIdReplyPOP3 reply;
  try {
    reply.SetCode("200");
    FAIL() << "accepted 200";
  } catch (const EIdException& e) {
    EXPECT_EQ(e.Message(), "Reply Code is not valid: 200");
  }
  EXPECT_EQ(reply.Code(), "+OK");
}

TEST(IdReplyPOP3Test, SameCodeKeepsTextOtherCodeClearsIt) {
  TIdReplyPOP3 reply("+OK", "kept");
  reply.SetCode("+OK");
  EXPECT_EQ(reply.Text(), Lines{"kept"});
  reply.SetCode("-ERR");
  EXPECT_TRUE(reply.Text().empty());
}

TEST(IdReplyPOP3Test, ClearAndAssign) {
  TIdReplyPOP3 source("-ERR", "a\nb");
  TIdReplyPOP3 copy("+OK", "old");
  copy.Assign(source);
  EXPECT_EQ(copy.FormatLines(), (Lines{"-ERR-a", "-ERR b"}));
  copy.Clear();
  EXPECT_EQ(copy.Code(), "");
  EXPECT_TRUE(copy.FormatLines().empty());
}

}  // namespace
}  // namespace quillbox

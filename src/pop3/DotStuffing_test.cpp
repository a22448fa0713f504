#include "pop3/DotStuffing.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/FakeSocket.h"

namespace quillbox {
namespace {

using namespace test;

// The one reading of a stuffed line start, as the byte relay meets it (cut anywhere) and as a
// line read whole gives it.
TEST(DotStuffingTest, LineStartsAreTerminatorsStuffedDotsOrText) {
  struct Case {
    std::string_view wire;
    TLineStart start;
    size_t terminator;
  } cases[] = {
      {"", TLineStart::kUndecided, 0},       {".", TLineStart::kUndecided, 0},
      {".\r", TLineStart::kUndecided, 0},    {".\n", TLineStart::kTerminator, 2},
      {".\r\n", TLineStart::kTerminator, 3}, {".\r\r\n", TLineStart::kStuffed, 0},
      {"..\r\n", TLineStart::kStuffed, 0},   {".a", TLineStart::kStuffed, 0},
      {"a.", TLineStart::kPlain, 0},         {"\r\n", TLineStart::kPlain, 0},
  };
  for (const auto& c : cases) {
    size_t terminator = 0;
    EXPECT_EQ(ReadLineStart(c.wire, terminator), c.start) << c.wire;
    EXPECT_EQ(terminator, c.terminator) << c.wire;
  }
  struct LineCase {
    std::string line;
    bool text;
    std::string unstuffed;
  } lines[] = {{".", false, "."},     {"..", true, "."}, {".\r", true, "\r"},
               {"...a", true, "..a"}, {"a", true, "a"},  {"", true, ""}};
  for (auto c : lines) {
    EXPECT_EQ(UnstuffLine(c.line), c.text) << c.unstuffed;
    EXPECT_EQ(c.line, c.unstuffed);
  }
}

TEST(DotStuffingTest, WritesAreStuffedAndTerminated) {
  struct Case {
    const char* name;
    std::function<void(TIdIOHandlerStack&)> write;
    std::string expected;
  } cases[] = {
      {"line", [](auto& io) { io.WriteLine("+OK"); }, "+OK\r\n"},
      {"lines",
       [](auto& io) {
         io.WriteLines({"-ERR-a", "-ERR b"});
       },
       "-ERR-a\r\n-ERR b\r\n"},
      {"dot terminated",
       [](auto& io) {
         WriteDotTerminated(io, {".", "..a", "b", ""});
       },
       "..\r\n...a\r\nb\r\n\r\n.\r\n"},
      {"empty body", [](auto& io) { WriteDotTerminated(io, {}); }, ".\r\n"},
      {"body sent in parts",
       [](auto& io) {
         TIdDotTerminatedWriter writer(io);
         writer.AddLines({".a", "b"});
         writer.Flush();
         writer.Flush();
         writer.AddLines({"", "..c"});
         writer.Finish();
       },
       "..a\r\nb\r\n\r\n...c\r\n.\r\n"},
      {"lines and stuffed bytes cut anywhere",
       [](auto& io) {
         TIdDotTerminatedWriter writer(io);
         writer.AddLine(".x");
         writer.AddStuffed("..y\r");
         writer.AddStuffed("\nz\r\n");
         writer.AddLine("");
         writer.Finish();
       },
       "..x\r\n..y\r\nz\r\n\r\n.\r\n"},
      // A body that broke off must not end in "." or the client takes it for a whole one.
      {"unfinished body",
       [](auto& io) {
         TIdDotTerminatedWriter writer(io);
         writer.AddLine("a");
         writer.Flush();
         writer.AddLine("lost");
       },
       "a\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TIdIOHandlerStack io;
    auto socket = std::make_unique<FakeSocket>();
    FakeSocket& fake = *socket;
    socket->AddHang();
    io.Open(std::move(socket));
    c.write(io);
    EXPECT_EQ(fake.Sent(), c.expected);
    io.Close();
  }
}

TEST(DotStuffingTest, LargeBodyIsCoalescedWithIdenticalBytes) {
  TIdIOHandlerStack io;
  auto socket = std::make_unique<FakeSocket>();
  FakeSocket& fake = *socket;
  socket->AddHang();
  io.Open(std::move(socket));
  std::vector<std::string> lines;
  std::string expected;
  for (int i = 0; i < 20000; ++i) {
    lines.push_back((i % 7 == 0 ? "." : "") + std::string(76, 'a' + i % 26));
    expected += (i % 7 == 0 ? ".." : "") + std::string(76, 'a' + i % 26) + "\r\n";
  }
  WriteDotTerminated(io, lines);
  EXPECT_EQ(fake.Sent(), expected + ".\r\n");
  EXPECT_LT(fake.SendCalls(), 40u);
  // The same bytes relayed as they come from a socket, in small parts: coalesced alike, and a
  // large part goes out as it is.
  TIdDotTerminatedWriter writer(io);
  for (size_t at = 0; at < expected.size(); at += 1000)
    writer.AddStuffed(std::string_view(expected).substr(at, 1000));
  writer.AddStuffed(std::string(TIdDotTerminatedWriter::kChunk, 'x') + "\r\n");
  writer.Finish();
  EXPECT_EQ(fake.Sent().substr(expected.size() + 3),
            expected + std::string(TIdDotTerminatedWriter::kChunk, 'x') + "\r\n.\r\n");
  EXPECT_LT(fake.SendCalls(), 80u);
  io.Close();
}

}  // namespace
}  // namespace quillbox

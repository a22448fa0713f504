#include "proxy/AnswerRelay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "proxy/MessageAnnotation.h"
#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using test::Message;
using test::Pop3Client;
using test::ProxyHarness;
using test::ScriptedUpstream;
using test::WithFour;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

struct Relayed {
  std::string out;
  size_t used = 0;
  bool done = false;
};

// input through a relay in parts of `cut` bytes (0: whole), as the upstream connection hands it
// over: what a Take leaves comes again with the next part.
Relayed Relay(const std::string& input, bool rename, size_t cut) {
  TAnswerRelay relay(rename);
  Relayed r;
  std::string pending;
  for (size_t at = 0; at < input.size() && !relay.Done();) {
    const size_t n = cut == 0 ? input.size() : std::min(cut, input.size() - at);
    pending.append(input, at, n);
    at += n;
    const size_t used = relay.Take(pending, [&r](std::string_view part) { r.out.append(part); });
    pending.erase(0, used);
    r.used += used;
  }
  r.done = relay.Done();
  return r;
}

// What a client receives is what reading the answer line by line and writing the lines again
// gave, however the answer is cut into receives.
TEST(AnswerRelayTest, PassesOnWhatTheLineByLineRelayWrote) {
  const struct {
    const char* what;
    bool rename;
    std::string input, output;
    bool done;
    size_t unread = 0;
  } cases[] = {
      {"plain lines", false, "a\r\n\r\nb\r\n.\r\n", "a\r\n\r\nb\r\n", true},
      {"bare LF lines end in CR LF", false, "a\nb\n\n.\n", "a\r\nb\r\n\r\n", true},
      {"a stuffed dot goes, a lone one too", false, "..\r\n...x\r\n.y\r\n.\r\r\n.\rz\n.\r\n",
       "..\r\n...x\r\ny\r\n\r\r\n\rz\r\n", true},
      {"lone CRs stay", false, "a\rb\r\n\r\r\n\r\n.\r\n", "a\rb\r\n\r\r\n\r\n", true},
      {"what follows the end stays unread", false, "x\r\n.\r\n+OK next\r\n", "x\r\n", true, 10},
      {"unfinished", false, "abc\r\nde", "abc\r\nde", false},
      {"a dot that may end it waits", false, "abc\r\n.", "abc\r\n", false},
      {"forged names renamed up to the first empty line", true,
       "X-Quillbox-Status: Normal\r\nto: a\rx-quillbox-a: b\r\n.X-Quillbox-c\r\n"
       "..X-Quillbox-d\r\nX-Quillbox\r\n\r\r\nX-Quillbox-e\n\nX-Quillbox-Status: body\r\n.\r\n",
       "X-Forged-Quillbox-Status: Normal\r\nto: a\rx-Forged-quillbox-a: b\r\n"
       "X-Forged-Quillbox-c\r\n..X-Quillbox-d\r\nX-Quillbox\r\n\r\r\nX-Forged-Quillbox-e\r\n"
       "\r\nX-Quillbox-Status: body\r\n",
       true},
      {"nothing renamed in a body", false, "X-Quillbox-Status: Normal\r\n.\r\n",
       "X-Quillbox-Status: Normal\r\n", true},
  };
  for (const auto& c : cases) {
    for (size_t cut : {0, 1, 2, 5}) {
      SCOPED_TRACE(std::string(c.what) + ", parts of " + std::to_string(cut));
      const Relayed r = Relay(c.input, c.rename, cut);
      EXPECT_EQ(r.out, c.output);
      EXPECT_EQ(r.done, c.done);
      if (c.done) {
        EXPECT_EQ(r.used, c.input.size() - c.unread);
      }
    }
  }
}

// A body of the usual kind goes on as the parts it came in, not line by line.
TEST(AnswerRelayTest, PlainLinesPassInOnePart) {
  std::string input;
  for (int i = 0; i < 1000; ++i)
    input += "a line of a message body\r\n";
  TAnswerRelay relay(false);
  int parts = 0;
  EXPECT_EQ(relay.Take(input, [&parts](std::string_view) { ++parts; }), input.size());
  EXPECT_EQ(parts, 1);
}

// Where a server that never ends its answer is told from one that sends long lines: each row's
// input comes whole and byte by byte, so that an empty line split across parts still counts.
TEST(AnswerBudgetTest, CountsTheHeaderRestThenTheLinesAskedForThenTheSpare) {
  using Limits = TAnswerBudget::TLimits;
  const struct {
    const char* what;
    Limits limits;
    std::string input;
    bool within;
  } cases[] = {
      {"header, empty line, lines, all in", {true, 6, 2, 4, 0}, "ab\r\n\r\nxy\r\nz\r\n", true},
      {"one byte past", {true, 6, 2, 4, 0}, "ab\r\n\r\nxy\r\nz\r\n!", false},
      {"a long line draws on the spare", {false, 0, 1, 4, 3}, "abcde\r\n", true},
      {"beyond the spare", {false, 0, 1, 4, 2}, "abcde\r\n", false},
      {"a header past its room draws on the spare", {true, 2, 1, 9, 5}, "abc\r\n\r\nx\r\n", true},
      {"a line with a lone CR is no empty line", {true, 3, 1, 10, 0}, "\r\r\nx\r\n", false},
      {"lines past those asked for draw on the spare", {false, 0, 1, 10, 3}, "a\r\nb\r\n", true},
      {"and only on it", {false, 0, 1, 10, 3}, "a\r\nbc\r\n", false},
  };
  for (const auto& c : cases) {
    for (const bool bytewise : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (bytewise ? ", byte by byte" : ""));
      TAnswerBudget budget(c.limits);
      bool within = true;
      if (bytewise) {
        for (const char byte : c.input)
          within = budget.Take(std::string_view(&byte, 1));
      } else {
        within = budget.Take(c.input);
      }
      EXPECT_EQ(within, c.within);
    }
  }
}

// What the proxy may hold while an answer of any length streams through it: a header and a
// capability list each up to their limit, buffers, and whatever the test's own client holds.
constexpr size_t kMemoryBound = 8 * 1024 * 1024;

TEST(LongAnswerTest, AHundredMegabyteLineArrivesByteForByte) {
  ProxyHarness h;
  std::string line(100'000'000, 'x');
  line[0] = '.';
  line[77] = '\r';
  h.upstream.messages = {Message({"Subject: big"}, {"a", line, "b"})};
  h.Start();
  // A pre-fetch that asked for that line would take it for an answer that never ends.
  auto client = h.LoggedIn("[QuillboxRules]\nMaxLines=1\n");
  // The scripted server copies the 100 MB a few times before it answers: on a busy machine that
  // takes seconds.
  client->SetReadTimeout(60000);
  ASSERT_EQ(client->Command("RETR 1").substr(0, 3), "+OK");
  std::string expected = "Subject: big\r\n";
  for (const std::string& added : AnnotationLines(TVerdict()))
    expected += added + "\r\n";
  expected += "\r\na\r\n." + line + "\r\nb\r\n";
  const std::string received = client->ReadBytesUntilDot();
  ASSERT_EQ(received.size(), expected.size()) << received.substr(0, 100);
  EXPECT_TRUE(received == expected);  // not EXPECT_EQ: it would print 100 MB
  EXPECT_EQ(client->Command("NOOP"), "+OK");
}

// A header too long to hold cannot be judged: its message arrives whole, the four lines first and
// Quillbox's names renamed wherever they stand before the first empty line, even past the limit.
TEST(LongAnswerTest, HeaderTooLongToHoldIsRelayedWholeAndNotJudged) {
  // Longer than the 1 MiB held, but within the 64 KiB more that the pre-fetch reads of a header.
  Lines many;
  for (int i = 0; i < 12500; ++i)
    many.push_back("X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f'));
  const struct {
    const char* what;
    Lines header;
  } cases[] = {{"many lines", many},
               {"one long line", {"Subject: " + std::string((1 << 20) + 16000, 's')}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProxyHarness h;
    Lines header = {"X-Quillbox-Status: Normal"};
    header.insert(header.end(), c.header.begin(), c.header.end());
    header.push_back("Received: from x (mail.example.org [203.0.113.7]) by mx.example.net");
    header.push_back("x-quillbox-status: Normal");
    h.upstream.messages = {Message(header, {"X-Quillbox-Status: in the body"})};
    h.Start();
    auto client = h.LoggedIn("[S25R]\nMatchString=/\\[[0-9.]+\\]/\n");
    ASSERT_EQ(client->Command("RETR 1").substr(0, 3), "+OK");
    Lines expected = AnnotationLines(TVerdict());
    expected.insert(expected.end(), header.begin(), header.end());
    expected[4] = "X-Forged-Quillbox-Status: Normal";
    expected.back() = "x-Forged-quillbox-status: Normal";
    expected.insert(expected.end(), {"", "X-Quillbox-Status: in the body"});
    EXPECT_TRUE(client->ReadUntilDot() == expected);
    EXPECT_TRUE(h.log.WaitFor(
        "   P    The header of RETR 1 is longer than 1 MiB: the sender is not judged"));
    EXPECT_EQ(client->Command("NOOP"), "+OK");
  }
}

// A TOP of Quillbox's own whose answer goes on past its header, the lines it asked for and 64 KiB
// is given up, as if the real server had dropped the connection: the client's RETR, which waits
// for it, answers -ERR at once instead of never, memory and the bytes read stay bounded, and QUIT
// tells that the DELEs may not have taken effect. Long lines in an answer that ends are no reason.
TEST(LongAnswerTest, EndlessTopOfQuillboxsOwnIsGivenUpAndTheRetrievalAnswersErr) {
  const std::string head = "+OK\r\nSubject: s\r\n\r\n";
  std::string longHeader = "+OK\r\n";
  for (int i = 0; i < 20000; ++i)
    longHeader += "X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f') + "\r\n";
  const std::string repeat(ScriptedUpstream::kRepeat);
  const struct {
    const char* what;
    int maxLines;
    std::string top;  // none: the message's own
  } cases[] = {
      {"endless body lines", 0, head + repeat + "a line of the body\r\n"},
      {"endless body lines past those asked for", 3, head + "1\r\n2\r\n3\r\n" + repeat + "4\r\n"},
      {"endless header", 20, "+OK\r\n" + repeat + "X-Filler: " + std::string(60, 'f') + "\r\n"},
      {"one endless line", 20, head + repeat + std::string(1000, 'x')},
      {"a header past its limit that ends", 20, longHeader + "\r\n.\r\n"},
      {"long lines that end", 3, ""},
  };
  const Lines body = {std::string(1'000'000, 'a'), std::string(1'000'000, 'b'),
                      std::string(1'000'000, 'c'), "d"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProxyHarness h;
    h.upstream.messages = {Message({"Subject: s"}, body)};
    const std::string top = "TOP 1 " + std::to_string(c.maxLines);
    h.upstream.script = [&](const std::string& command) {
      return command == top ? c.top : std::string();
    };
    h.Start();
    auto client =
        h.LoggedIn("[QuillboxRules]\nMaxLines=" + std::to_string(c.maxLines) + "\nLookAhead=0\n");
    test::HeapPeak heap;
    const auto start = std::chrono::steady_clock::now();
    const std::string reply = client->Command("RETR 1");
    const auto took = std::chrono::steady_clock::now() - start;
    if (c.top.empty()) {
      EXPECT_EQ(reply.substr(0, 3), "+OK");
      EXPECT_TRUE(client->ReadUntilDot() ==
                  WithFour({"Subject: s", "<4>", "", body[0], body[1], body[2], body[3]}));
      EXPECT_EQ(client->Command("QUIT"), "+OK Good-bye from the Quillbox");
      continue;
    }
    EXPECT_EQ(reply, "-ERR Quillbox sent \"" + top +
                         "\" but the answer from the actual POP3 server did not end within a "
                         "header of 1 MiB, " +
                         std::to_string(c.maxLines) + " lines and 64 KiB.");
    EXPECT_LT(took, 5s);
    EXPECT_LT(heap.Growth(), kMemoryBound);
    // What the real server got into the sockets' buffers before the proxy closed its end.
    EXPECT_LT(h.upstream.Repeated(), 32u << 20);
    EXPECT_EQ(client->Command("QUIT"),
              "-ERR The connection to 127.0.0.1:" + std::to_string(h.upstream.Port()) +
                  " was closed before QUIT. Messages marked for deletion "
                  "may not have been deleted.");
  }
}

// A header that never ends in the retrieval (the client receives it): memory stays bounded, and
// a client that gives up frees its place.
TEST(LongAnswerTest, EndlessHeaderCostsBoundedMemory) {
  const std::string block = [] {
    std::string lines;
    for (int i = 0; i < 1000; ++i)
      lines += "X-Filler: " + std::string(60, 'f') + "\r\n";
    return lines + "X-Quillbox-Status: Normal\r\n";
  }();
  ProxyHarness h;
  h.proxy.IdPOP3Server.MaxConnections = 1;
  h.upstream.messages = {Message({"Subject: s"}, {"b"})};
  h.upstream.script = [&](const std::string& command) {
    if (command == "RETR 1")
      return "+OK\r\n" + std::string(ScriptedUpstream::kRepeat) + block;
    return command.starts_with("TOP") ? "-ERR no TOP\r\n" : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  test::HeapPeak heap;
  client->Send("RETR 1");
  const auto start = std::chrono::steady_clock::now();
  Lines received;
  while (h.upstream.Repeated() < 64'000'000 && std::chrono::steady_clock::now() - start < 30s) {
    if (received.size() < 2000)
      received.push_back(client->ReadLine());
    else
      client->ReadLine();
  }
  ASSERT_GE(h.upstream.Repeated(), 64'000'000u);
  EXPECT_LT(heap.Growth(), kMemoryBound);
  EXPECT_EQ(received[0], "+OK");
  EXPECT_EQ(Lines(received.begin() + 1, received.begin() + 5), AnnotationLines(TVerdict()));
  EXPECT_EQ(received[1005], "X-Forged-Quillbox-Status: Normal");
  client.reset();
  EXPECT_TRUE(h.GreetsWithin(1s));
}

// The real server's capabilities are kept up to a limit; an answer that goes on past a larger
// one refuses the login instead of holding it, and memory stays bounded either way.
TEST(LongAnswerTest, CapaAnswersOfAnyLengthCostBoundedMemory) {
  std::string many;
  for (int i = 1; i <= 3000; ++i)
    many += "X-CAP-" + std::to_string(i) + "\r\n";
  const std::string refusal =
      "-ERR Quillbox sent \"CAPA\" but the answer from the actual POP3 server did not end within "
      "1 MiB.";
  const struct {
    const char* what;
    std::string answer, reply;
  } cases[] = {
      {"refused", "-ERR no CAPA here\r\n", "+OK Login OK"},
      {"longer than kept", "+OK\r\n" + many + ".\r\n", "+OK Login OK"},
      {"endless lines", "+OK\r\n" + std::string(ScriptedUpstream::kRepeat) + "X-CAP\r\n", refusal},
      {"one endless line", "+OK\r\n" + std::string(ScriptedUpstream::kRepeat) + "X-CAP", refusal},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ProxyHarness h;
    h.upstream.script = [&c](const std::string& command) {
      return command == "CAPA" ? c.answer : std::string();
    };
    h.Start();
    test::HeapPeak heap;
    Pop3Client client(h.port);
    client.ReadLine();
    client.Command("USER " + h.LoginName(h.RuleFile("rules.ini", "")));
    EXPECT_EQ(client.Command("PASS " + h.upstream.password), c.reply);
    EXPECT_LT(heap.Growth(), kMemoryBound);
    if (c.reply != refusal) {
      EXPECT_EQ(client.Command("CAPA"), "+OK Capability list follows");
      const Lines capabilities = client.ReadUntilDot();
      ASSERT_GE(capabilities.size(), 3u);
      EXPECT_EQ(Lines(capabilities.begin(), capabilities.begin() + 3),
                Lines({"TOP", "UIDL", "USER"}));
      EXPECT_LT(capabilities.size(), 3003u);
      EXPECT_EQ(client.Command("NOOP"), "+OK");
    }
  }
}

}  // namespace
}  // namespace quillbox

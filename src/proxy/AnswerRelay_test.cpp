#include "proxy/AnswerRelay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "proxy/MessageHeader.h"
#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using test::Message;
using test::Pop3Client;
using test::ProxyHarness;
using test::ScriptedUpstream;
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
  auto client = h.LoggedIn();
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
  Lines many;
  for (int i = 0; i < 30000; ++i)
    many.push_back("X-Filler-" + std::to_string(i) + ": " + std::string(40, 'f'));
  const struct {
    const char* what;
    Lines header;
  } cases[] = {{"many lines", many}, {"one long line", {"Subject: " + std::string(2 << 20, 's')}}};
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

// A header that never ends, in the pre-fetch (the client then waits for its reply) or in the
// retrieval (the client receives it): memory stays bounded, and a client that gives up frees its
// place.
TEST(LongAnswerTest, EndlessHeaderCostsBoundedMemory) {
  const std::string block = [] {
    std::string lines;
    for (int i = 0; i < 1000; ++i)
      lines += "X-Filler: " + std::string(60, 'f') + "\r\n";
    return lines + "X-Quillbox-Status: Normal\r\n";
  }();
  for (const char* endless : {"TOP 1 20", "RETR 1"}) {
    SCOPED_TRACE(endless);
    ProxyHarness h;
    h.proxy.IdPOP3Server.MaxConnections = 1;
    h.upstream.messages = {Message({"Subject: s"}, {"b"})};
    h.upstream.script = [&](const std::string& command) {
      if (command == endless)
        return "+OK\r\n" + std::string(ScriptedUpstream::kRepeat) + block;
      return command.starts_with("TOP") ? "-ERR no TOP\r\n" : std::string();
    };
    h.Start();
    auto client = h.LoggedIn();
    test::HeapPeak heap;
    client->Send("RETR 1");
    const auto start = std::chrono::steady_clock::now();
    Lines received;
    const bool retrieved = endless == std::string("RETR 1");
    while (h.upstream.Repeated() < 64'000'000 && std::chrono::steady_clock::now() - start < 30s) {
      if (!retrieved) {
        std::this_thread::sleep_for(10ms);
      } else if (received.size() < 2000) {
        received.push_back(client->ReadLine());
      } else {
        client->ReadLine();
      }
    }
    ASSERT_GE(h.upstream.Repeated(), 64'000'000u);
    EXPECT_LT(heap.Growth(), kMemoryBound);
    if (!received.empty()) {
      const Lines four = AnnotationLines(TVerdict());
      EXPECT_EQ(received[0], "+OK");
      EXPECT_EQ(Lines(received.begin() + 1, received.begin() + 5), four);
      EXPECT_EQ(received[1005], "X-Forged-Quillbox-Status: Normal");
    }
    client.reset();
    EXPECT_TRUE(h.GreetsWithin(1s));
  }
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

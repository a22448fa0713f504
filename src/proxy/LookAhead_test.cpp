#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using test::Message;
using test::Pop3Client;
using Lines = std::vector<std::string>;

const std::string kRules =
    "[S25R]\nDNSServer=127.0.0.1\nMatchString=/\\(\\S* ?\\[[0-9.]+\\]\\)/\n[QuillboxRules]\n";

// A mailbox of count messages, message n from sender 192.0.2.n (or all from 192.0.2.1), each
// sender with a proper name, so every verdict reads Normal.
struct Mailbox : test::ProxyHarness {
  explicit Mailbox(int count, bool oneSender = false) {
    std::map<std::string, std::vector<std::string>> addresses;
    for (int n = 1; n <= count; ++n) {
      const std::string s = std::to_string(oneSender ? 1 : n);
      names.nameOf["192.0.2." + s] = "h" + s + ".example.org";
      addresses["h" + s + ".example.org"] = {"192.0.2." + s};
      upstream.messages.push_back(Message(Header(n, oneSender), {"body " + std::to_string(n)}));
    }
    dns.SetAddresses(addresses);
  }
  static Lines Header(int n, bool oneSender) {
    const std::string s = std::to_string(oneSender ? 1 : n);
    return {"Received: from x (h" + s + " [192.0.2." + s + "]) by mx.example.net",
            "Subject: " + std::to_string(n)};
  }
  // Retrieves message n and checks every line the client gets.
  void Retrieve(Pop3Client& client, int n, bool oneSender = false) {
    const std::string s = std::to_string(oneSender ? 1 : n);
    Lines expected = Header(n, oneSender);
    expected.insert(expected.end(), {"X-Quillbox-Sender-IP-Address: 192.0.2." + s,
                                     "X-Quillbox-Sender-Hostname: h" + s + ".example.org",
                                     "X-Quillbox-Lookuped-IP-Address: 192.0.2." + s,
                                     "X-Quillbox-Status: Normal", "", "body " + std::to_string(n)});
    ASSERT_EQ(client.Command("RETR " + std::to_string(n)).substr(0, 3), "+OK");
    EXPECT_EQ(client.ReadUntilDot(), expected) << n;
  }
  size_t Sent(const std::string& prefix) {
    const Lines commands = upstream.Commands();
    return std::count_if(commands.begin(), commands.end(),
                         [&](const std::string& c) { return c.starts_with(prefix); });
  }
};

size_t Entries(const char* folder) {
  size_t count = 0;
  if (DIR* dir = ::opendir(folder)) {
    while (::readdir(dir) != nullptr)
      ++count;
    ::closedir(dir);
  }
  return count;
}

// The look-ahead fetches the headers after the one retrieved, a batch at once to a server that
// offers PIPELINING and one at a time to one that does not, and every verdict stays what it is.
TEST(LookAheadTest, HeadersAheadArePipelinedOnlyWhereTheServerOffersIt) {
  for (const bool pipelining : {true, false}) {
    SCOPED_TRACE(pipelining ? "PIPELINING" : "no PIPELINING");
    Mailbox h(20);
    if (!pipelining)
      h.upstream.capabilities = {"TOP", "UIDL"};
    h.Start();
    auto client = h.LoggedIn(kRules);
    h.Retrieve(*client, 1);
    // Without STAT or LIST from the client the look-ahead asks STAT itself.
    ASSERT_TRUE(test::WaitFor([&] { return h.Sent("TOP 20 20") == 1; }));
    EXPECT_EQ(h.Sent("STAT"), 1u);
    for (int n = 2; n <= 20; ++n)
      h.Retrieve(*client, n);
    EXPECT_EQ(h.Sent("TOP "), 20u);
    EXPECT_EQ(h.upstream.Pipelined() > 0, pipelining);
  }
}

// A client that retrieves one message, or the newest few, costs at most the depth in TOPs and
// judgments; a rule file may set the depth or turn the look-ahead off.
TEST(LookAheadTest, SpeculationStaysWithinTheDepth) {
  const struct {
    const char* depth;
    std::vector<int> retrieved;
    size_t tops;
  } cases[] = {
      {"", {1}, 1 + 32},     {"LookAhead=5\n", {1}, 1 + 5},          {"LookAhead=0\n", {1}, 1},
      {"", {38, 39, 40}, 3}, {"LookAhead=2\n", {1, 2, 3, 4}, 4 + 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.depth) + " retrieving " + std::to_string(c.retrieved.size()));
    Mailbox h(40);
    h.Start();
    auto client = h.LoggedIn(kRules + c.depth);
    ASSERT_EQ(client->Command("STAT").substr(0, 7), "+OK 40 ");
    for (const int n : c.retrieved)
      h.Retrieve(*client, n);
    // The look-ahead runs on after the last answer; QUIT would cut it short.
    EXPECT_TRUE(test::WaitFor([&] { return h.Sent("TOP ") >= c.tops; }));
    EXPECT_EQ(client->Command("QUIT"), "+OK Good-bye from the Quillbox");
    EXPECT_EQ(h.Sent("TOP "), c.tops);
    EXPECT_LE(h.names.Reversed().size(), c.tops);
  }
}

// Each sender is asked once a session however many messages it sent, also when their judgments
// start together; and once its records' TTL allows, not again in the next session.
TEST(LookAheadTest, SameSenderInManyMessagesIsAskedOnce) {
  Mailbox h(12, true);
  h.names.reverseDelay = std::chrono::milliseconds(50);
  h.Start();
  for (int session = 0; session < 2; ++session) {
    auto client = h.LoggedIn(kRules);
    for (int n = 1; n <= 12; ++n)
      h.Retrieve(*client, n, true);
    EXPECT_EQ(client->Command("QUIT"), "+OK Good-bye from the Quillbox");
  }
  EXPECT_EQ(h.names.Reversed(), Lines{"192.0.2.1"});
  EXPECT_EQ(h.dns.Queries().size(), 1u);
  const Lines logged = h.log.Lines();
  EXPECT_EQ(std::count(logged.begin(), logged.end(), "   P    Sender's hostname: h1.example.org"),
            24);
}

// A look-ahead TOP whose answer never ends is given up as a dropped connection would be: the
// RETR that waits for its own verdict meanwhile answers -ERR instead of waiting for ever, and the
// look-ahead goes no further.
TEST(LookAheadTest, EndlessAnswerToALookAheadTopEndsTheWaitingRetrieval) {
  Mailbox h(3);
  h.upstream.capabilities = {"TOP", "UIDL"};
  h.names.reverseDelay = std::chrono::milliseconds(500);
  h.upstream.script = [](const std::string& command) {
    if (command != "TOP 2 20")
      return std::string();
    return "+OK\r\nSubject: 2\r\n\r\n" + std::string(test::ScriptedUpstream::kRepeat) + "b\r\n";
  };
  h.Start();
  auto client = h.LoggedIn(kRules);
  const auto start = std::chrono::steady_clock::now();
  const std::string upstream = "127.0.0.1:" + std::to_string(h.upstream.Port());
  EXPECT_EQ(client->Command("RETR 1"),
            "-ERR The connection to " + upstream + " was closed after an earlier failure.");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(h.log.WaitFor(
      "   P    The look-ahead stopped: Quillbox sent \"TOP 2 20\" but the answer from the actual "
      "POP3 server did not end within a header of 1 MiB, 20 lines and 64 KiB."));
  EXPECT_EQ(client->Command("QUIT"), "-ERR The connection to " + upstream +
                                         " was closed before QUIT. Messages marked for deletion "
                                         "may not have been deleted.");
  EXPECT_EQ(h.Sent("TOP 3"), 0u);
  EXPECT_EQ(h.Sent("RETR"), 0u);
}

// Nothing of a session outlives it: a client that quits or drops while the look-ahead's
// judgments are under way leaves no thread and no descriptor behind.
TEST(LookAheadTest, ClientLeavingInTheMiddleOfTheLookAheadLeavesNothingBehind) {
  for (const bool quits : {true, false}) {
    SCOPED_TRACE(quits ? "QUIT" : "dropped");
    Mailbox h(40);
    h.names.reverseDelay = std::chrono::milliseconds(300);
    h.Start();
    const size_t threads = Entries("/proc/self/task"), descriptors = Entries("/proc/self/fd");
    {
      auto client = h.LoggedIn(kRules);
      ASSERT_EQ(client->Command("STAT").substr(0, 3), "+OK");
      h.Retrieve(*client, 1);
      ASSERT_TRUE(test::WaitFor([&] { return h.names.Reversed().size() > 8; }));
      if (quits) {
        EXPECT_EQ(client->Command("QUIT"), "+OK Good-bye from the Quillbox");
      }
    }
    EXPECT_TRUE(h.log.WaitFor("   P    Disconnected"));
    // The scripted server keeps its end of the connection until it ends.
    EXPECT_TRUE(test::WaitFor([&] {
      return Entries("/proc/self/task") == threads && Entries("/proc/self/fd") == descriptors + 1;
    })) << Entries("/proc/self/task")
        << " threads, " << Entries("/proc/self/fd") << " descriptors";
  }
}

// A client that gives up while its verdict's lookup hangs must not keep its place until the
// lookup ends: its connection ends within the wait's slice, its queued judgments are dropped, and
// the next client gets in.
TEST(LookAheadTest, ClientHangingUpWhileItsVerdictWaitsFreesItsPlaceAtOnce) {
  Mailbox h(3);
  h.names.reverseDelay = std::chrono::milliseconds(2000);
  h.proxy.IdPOP3Server.MaxConnections = 1;
  h.Start();
  {
    auto client = h.LoggedIn(kRules + "LookAhead=2\n");
    client->Send("RETR 1");
    ASSERT_TRUE(test::WaitFor([&] { return !h.names.Reversed().empty(); }));
  }
  const auto hungUp = std::chrono::steady_clock::now();
  EXPECT_TRUE(h.log.WaitFor("   P    Disconnected"));
  EXPECT_TRUE(h.GreetsWithin(std::chrono::milliseconds(500)));
  EXPECT_LT(std::chrono::steady_clock::now() - hungUp, std::chrono::milliseconds(1000));
  EXPECT_EQ(h.proxy.Judgments.Queued(), 0u);
  EXPECT_EQ(h.Sent("RETR"), 0u);
}

}  // namespace
}  // namespace quillbox

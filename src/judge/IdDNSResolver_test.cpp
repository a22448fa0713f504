#include "judge/IdDNSResolver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <typeinfo>

#include "support/FakeDns.h"

namespace quillbox {
namespace {

using namespace test;

const std::string kName = "mail.example.com";

std::string Describe(const TResultRecord& r) {
  static const char* const kSections[] = {"answer", "authority", "additional"};
  std::string text = kSections[static_cast<int>(r.Section)];
  if (const auto* a = dynamic_cast<const TARecord*>(&r))
    return text + " A " + a->Address();
  if (typeid(r) == typeid(TNAMERecord))
    return text + " CNAME " + static_cast<const TNAMERecord&>(r).HostName;
  if (const auto* ns = dynamic_cast<const TNSRecord*>(&r))
    return text + " NS " + ns->HostName;
  if (const auto* mx = dynamic_cast<const TMXRecord*>(&r))
    return text + " MX " + std::to_string(mx->Preference) + " " + mx->ExchangeServer;
  return text + " type " + std::to_string(r.TypeCode) + " " + r.Name;
}

// A resolver pointed at a scripted server, with a short wait so that silent cases stay fast.
struct Exchange {
  explicit Exchange(ScriptedDnsServer::Script script) : server(std::move(script)) {
    resolver.Host = "127.0.0.1";
    resolver.Port = server.Port();
    resolver.QueryType = {qtA};
    resolver.WaitingTime = 2000;
  }

  // The records as text, or the error's message.
  std::vector<std::string> Query(const std::string& name = kName) {
    std::vector<std::string> items;
    try {
      resolver.QueryDomain(name, 1);
    } catch (const Exception& e) {
      return {"error: " + e.Message()};
    }
    for (const auto& r : resolver.QueryResult())
      items.push_back(Describe(*r));
    return items;
  }

  ScriptedDnsServer server;
  FakeNameService stack;
  TIdDNSResolver resolver{stack};
};

ScriptedDnsServer::Script Answer(std::function<std::string(const std::string&)> reply) {
  return [reply](const std::string& q) { return std::vector<Datagram>{{reply(q)}}; };
}

const std::string kQ = Pointer(12);  // the question's name

TEST(IdDNSResolverTest, PutsTheStandardQueryOnTheWire) {
  const struct {
    std::string name;
    bool recursive;
    uint16_t flags;
  } cases[] = {
      {kName, true, 0x0100},
      {kName + ".", true, 0x0100},
      {kName, false, 0x0000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange x(Answer([](const std::string& q) { return ReplyTo(q, {}, ""); }));
    x.resolver.AllowRecursiveQueries = c.recursive;
    EXPECT_TRUE(x.Query(c.name).empty());
    ASSERT_EQ(1u, x.server.Queries().size());
    const std::string wire = x.server.Queries()[0];
    EXPECT_EQ(x.resolver.QueryBytes(), wire);
    EXPECT_EQ(x.resolver.DNSHeader().Bytes(), wire.substr(0, 12));
    EXPECT_NE(0xffff, x.resolver.DNSHeader().ID);
    EXPECT_EQ(U16(c.flags) + U16(1) + U16(0) + U16(0) + U16(0) + WireName(kName) + U16(1) + U16(1),
              wire.substr(2));
  }
}

TEST(IdDNSResolverTest, RefusesQueriesItCannotMake) {
  const struct {
    TQueryType types;
    std::string name;
    int qclass;
    std::string error;
  } cases[] = {
      {{}, kName, 1, "Invalid Query Count 0"},
      {{qtA, qtAXFR}, kName, 1, "Zone transfer queries (IXFR, AXFR) are not supported"},
      {{qtIXFR}, kName, 1, "Zone transfer queries (IXFR, AXFR) are not supported"},
      {{qtA}, kName, 65536, "Invalid query class 65536"},
      {{qtA}, "a..example.com", 1, "Invalid domain name (empty label): a..example.com"},
      {{qtA},
       std::string(64, 'x') + ".com",
       1,
       "Invalid domain name (label over 63 bytes): " + std::string(64, 'x') + ".com"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    TIdDNSResolver resolver;
    resolver.Host = "127.0.0.1";
    resolver.QueryType = c.types;
    try {
      resolver.QueryDomain(c.name, c.qclass);
      ADD_FAILURE() << "no error";
    } catch (const EIdDnsResolverError& e) {
      EXPECT_EQ(c.error, e.Message());
    }
  }
}

TEST(IdDNSResolverTest, DecodesRepliesAndFailsOnBadOnes) {
  const auto a4 = [](const std::string& data) { return Record(kQ, 1, data); };
  const struct {
    const char* what;
    std::function<std::string(const std::string&)> reply;
    std::vector<std::string> items;
  } cases[] = {
      {"two address records keep their order",
       [](auto& q) { return ReplyTo(q, {2}, ARecord(kQ, "192.0.2.9") + ARecord(kQ, "192.0.2.1")); },
       {"answer A 192.0.2.9", "answer A 192.0.2.1"}},
      {"an alias: CNAME, then the canonical name's address",
       [](auto& q) {
         const std::string cname = Record(kQ, 5, WireName("real.example.net"));
         // 12 + question + 12 bytes before the CNAME's data: its target's offset
         const auto target = static_cast<uint16_t>(q.size() + 12);
         return ReplyTo(q, {2}, cname + ARecord(Pointer(target), "198.51.100.4"));
       },
       {"answer CNAME real.example.net", "answer A 198.51.100.4"}},
      {"name servers' addresses in the additional section come last",
       [](auto& q) {
         return ReplyTo(q, {1, 1, 1},
                        ARecord(kQ, "192.0.2.1") + Record(kQ, 2, WireName("ns.example.com")) +
                            ARecord(WireName("ns.example.com"), "192.0.2.53"));
       },
       {"answer A 192.0.2.1", "authority NS ns.example.com", "additional A 192.0.2.53"}},
      {"an owner name compressed to the question, decoding goes on after the pointer",
       [](auto& q) {
         return ReplyTo(q, {2}, Record(kQ, 99, "xyz") + Record(WireName("x") + "", 99, ""));
       },
       {"answer type 99 mail.example.com", "answer type 99 x"}},
      {"a pointer to a label and a pointer on",
       [](auto& q) {
         // "mx" + pointer to "example.com" inside the question (12 + 5)
         return ReplyTo(q, {1}, Record(kQ, 15, U16(10) + "\x02mx" + Pointer(17)));
       },
       {"answer MX 10 mx.example.com"}},
      {"a pointer loop",
       [](auto& q) {
         return ReplyTo(q, {1}, Record(Pointer(static_cast<uint16_t>(q.size())), 1, ""));
       },
       {"error: Malformed DNS reply: compression pointer loop"}},
      {"a chain of 65 pointers",
       [](auto& q) {
         std::string chain;
         for (int i = 1; i <= 65; ++i)
           chain += Pointer(static_cast<uint16_t>(q.size() + 2 * i));
         return ReplyTo(q, {1}, chain + WireName("x") + U16(1) + U16(1) + U16(0) + U16(0) + U16(0));
       },
       {"error: Malformed DNS reply: too many compression pointers"}},
      {"a pointer past the end",
       [](auto& q) { return ReplyTo(q, {1}, Pointer(0x3fff)); },
       {"error: Malformed DNS reply: data runs past the end"}},
      {"more records counted than sent",
       [](auto& q) { return ReplyTo(q, {3}, ARecord(kQ, "192.0.2.1")); },
       {"error: Malformed DNS reply: data runs past the end"}},
      {"the question's name in other letter case is the same question",
       [](auto& q) {
         std::string reply = ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"));
         reply[13] = static_cast<char>(reply[13] - 'a' + 'A');
         return reply;
       },
       {"answer A 192.0.2.1"}},
      {"an oversized datagram is a socket error",
       [](auto& q) { return ReplyTo(q, {}, std::string(9000, 'x')); },
       {"error: Socket Error # 10040\r\nMessage too long."}},
      {"truncated (TC set)",
       [](auto& q) { return ReplyTo(q, {1}, ARecord(kQ, "192.0.2.7"), 0x8380); },
       {"answer A 192.0.2.7"}},
      {"address record without data",
       [a4](auto& q) { return ReplyTo(q, {1}, a4("")); },
       {"answer A "}},
      {"address record of 3 bytes",
       [a4](auto& q) { return ReplyTo(q, {1}, a4("\x01\x02\x03")); },
       {"error: Malformed DNS reply: address record shorter than 4 bytes"}},
      {"address record of 6 bytes",
       [a4](auto& q) { return ReplyTo(q, {1}, a4("\x01\x02\x03\x04\x05\x06")); },
       {"answer A 1.2.3.4"}},
      {"records of types we ignore, malformed or not, never fail the query",
       [](auto& q) {
         return ReplyTo(q, {4},
                        Record(kQ, 15, "\x01") + Record(kQ, 16, "\x09short") +
                            Record(kQ, 6, Pointer(0x3fff)) + ARecord(kQ, "192.0.2.3"));
       },
       {"answer MX 0 ", "answer type 16 mail.example.com", "answer type 6 mail.example.com",
        "answer A 192.0.2.3"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Exchange x(Answer(c.reply));
    EXPECT_EQ(c.items, x.Query());
  }
}

TEST(IdDNSResolverTest, ServerErrorCodeFailsTheQueryWithItsText) {
  const struct {
    uint16_t rcode;
    const char* text;
  } cases[] = {
      {1, "DNS Server Reports Query Format Error"},
      {2, "DNS Server Reports Query Server Error"},
      {3, "DNS Server Reports Query Name Error"},
      {4, "DNS Server Reports Query Not Implemented Error"},
      {5, "DNS Server Reports Query Refused Error"},
      {9, "Server Returned Unknown Error"},
      {15, "Server Returned Unknown Error"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rcode);
    Exchange x(Answer([&c](const std::string& q) {
      return ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"), static_cast<uint16_t>(0x8180 | c.rcode));
    }));
    EXPECT_EQ(std::vector<std::string>{std::string("error: ") + c.text}, x.Query());
  }
}

// A datagram that does not carry the query's identifier and question is no answer (RFC 5452):
// it neither ends the wait nor passes for the answer that follows it within WaitingTime.
TEST(IdDNSResolverTest, DatagramsThatDoNotAnswerTheQueryAreSkipped) {
  const auto right = [](const std::string& q) { return ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1")); };
  const auto changed = [right](size_t at) {
    return [right, at](const std::string& q) {
      std::string reply = right(q);
      reply[at] = static_cast<char>(reply[at] ^ 1);
      return reply;
    };
  };
  const struct {
    const char* what;
    std::function<std::string(const std::string&)> wrong;
  } cases[] = {
      {"another identifier", changed(1)},
      {"another question name", changed(14)},
      {"another question type", changed(12 + WireName(kName).size() + 1)},
      {"another question count", changed(5)},
      {"empty", [](auto&) { return std::string(); }},
      {"4 bytes", [](auto& q) { return q.substr(0, 4); }},
      {"11 bytes", [](auto& q) { return q.substr(0, 11); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Exchange x([&c, right](const std::string& q) {
      return std::vector<Datagram>{{c.wrong(q)}, {right(q)}};
    });
    EXPECT_EQ(std::vector<std::string>{"answer A 192.0.2.1"}, x.Query());

    Exchange alone(Answer(c.wrong));
    alone.resolver.WaitingTime = 100;
    EXPECT_TRUE(alone.Query().empty());
  }
}

TEST(IdDNSResolverTest, ReplyFromAnotherPortIsNeverRead) {
  Exchange x([](const std::string& q) {
    return std::vector<Datagram>{{ReplyTo(q, {1}, ARecord(kQ, "203.0.113.66")), true},
                                 {ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"))}};
  });
  EXPECT_EQ(std::vector<std::string>{"answer A 192.0.2.1"}, x.Query());
}

TEST(IdDNSResolverTest, EmptyAnswerAfterAQueryWithRecordsLeavesNoRecords) {
  int calls = 0;
  Exchange x(Answer([&calls](const std::string& q) {
    return ++calls == 1 ? ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1")) : ReplyTo(q, {}, "");
  }));
  EXPECT_EQ(1u, x.Query().size());
  EXPECT_TRUE(x.Query().empty());
}

TEST(IdDNSResolverTest, SilentServerEndsTheQueryAfterTheWaitingTime) {
  Exchange x([](const std::string&) { return std::vector<Datagram>{}; });
  x.resolver.WaitingTime = 200;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(x.Query().empty());
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(190));
  EXPECT_LT(took, std::chrono::seconds(2));
}

// One lost datagram (a server's full receive buffer drops it) must not pass for a name without
// addresses: the same query goes out again, and an answer to either is taken.
TEST(IdDNSResolverTest, LostQueryIsSentAgainWithTheSameIdentifierAndQuestion) {
  for (const size_t answered : {1, 2}) {
    std::atomic<size_t> received = 0;
    Exchange x([&](const std::string& q) {
      if (++received <= answered)
        return std::vector<Datagram>{};
      return std::vector<Datagram>{{ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"))}};
    });
    x.resolver.Retransmissions = {50, 150};
    EXPECT_EQ(std::vector<std::string>{"answer A 192.0.2.1"}, x.Query()) << answered;
    const std::vector<std::string> sent = x.server.Queries();
    ASSERT_EQ(sent.size(), answered + 1);
    for (const std::string& again : sent)
      EXPECT_EQ(again, sent.front());
  }
  // Retransmissions never stretch the wait, and a cancelled lookup ends within a slice.
  Exchange silent([](const std::string&) { return std::vector<Datagram>{}; });
  silent.resolver.Retransmissions = {50, 150, 5000};
  silent.resolver.WaitingTime = 300;
  std::atomic<bool> cancel = false;
  silent.resolver.Cancel = &cancel;
  EXPECT_TRUE(silent.Query().empty());
  EXPECT_EQ(silent.server.Queries().size(), 3u);
  silent.resolver.WaitingTime = 60000;
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cancel = true;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.Query().empty());
  later.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(IdDNSResolverTest, UnreachableServerPortIsASocketError) {
  int port = 0;
  {
    ScriptedDnsServer closed([](const std::string&) { return std::vector<Datagram>{}; });
    port = closed.Port();
  }
  Exchange x([](const std::string&) { return std::vector<Datagram>{}; });
  x.resolver.Port = port;
  EXPECT_EQ(std::vector<std::string>{"error: Socket Error # 10061\r\nConnection refused."},
            x.Query());
}

// The first "nameserver" line of the file counts, whatever comments and blanks come with it.
TEST(IdDNSResolverTest, FindsTheServerByAnyOfItsNamesOrTheFirstNameserverLine) {
  const auto answer =
      Answer([](const std::string& q) { return ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1")); });
  char confPath[] = "/tmp/quillbox-resolv-XXXXXX";
  const int fd = mkstemp(confPath);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(confPath)
      << "# generated\nsearch example.com\nnameserver 127.0.0.1\nnameserver 192.0.2.53\n";
  const struct {
    std::string host;
    std::string resolvConf;
    std::string first;
  } cases[] = {
      {"LOCALHOST", "", "answer A 192.0.2.1"},
      {"LocalHost", "", "answer A 192.0.2.1"},
      {"dns.test", "", "answer A 192.0.2.1"},  // through the name service
      {"no-such-server.test", "", "error: Socket Error # 11001\r\nHost not found."},
      {"", confPath, "answer A 192.0.2.1"},
      {"", "/nonexistent/resolv.conf",
       "error: No DNS server given and none in /nonexistent/resolv.conf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host + "|" + c.resolvConf);
    Exchange x(answer);
    x.stack.addressOf["dns.test"] = "127.0.0.1";
    x.resolver.Host = c.host;
    if (!c.resolvConf.empty())
      x.resolver.ResolvConfPath = c.resolvConf;
    EXPECT_EQ(std::vector<std::string>{c.first}, x.Query());
  }
  std::ofstream(confPath) << "; comment\n  nameserver   ::1  \nnameserver 192.0.2.1\n";
  EXPECT_EQ("::1", FirstNameserver(confPath));
  std::ofstream(confPath) << "options ndots:1\n";
  EXPECT_EQ("", FirstNameserver(confPath));
  unlink(confPath);
}

}  // namespace
}  // namespace quillbox

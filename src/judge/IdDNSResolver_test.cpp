#include "judge/IdDNSResolver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>
#include <typeinfo>

#include "support/FakeDns.h"
#include "support/Loopback.h"

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
  explicit Exchange(ScriptedDnsServer::Script script, ScriptedDnsServer::StreamScript stream = {})
      : server(std::move(script), AF_INET, std::move(stream)) {
    resolver.Host = "127.0.0.1";
    resolver.Port = server.Port();
    resolver.QueryType = {qtA};
    resolver.WaitingTime = 2000;
  }

  // The records as text, or the error's message (the server's port in it as "PORT").
  std::vector<std::string> Query(const std::string& name = kName) {
    std::vector<std::string> items;
    try {
      resolver.QueryDomain(name, 1);
    } catch (const Exception& e) {
      std::string text = e.Message();
      const std::string port = " port " + std::to_string(server.Port());
      if (const size_t at = text.find(port); at != std::string::npos)
        text.replace(at, port.size(), " port PORT");
      return {"error: " + text};
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
    EXPECT_EQ(U16(c.flags) + U16(1) + U16(0) + U16(0) + U16(1) + WireName(kName) + U16(1) + U16(1) +
                  OptRecord(1232),
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
         const auto target = static_cast<uint16_t>(QuestionEnd(q) + 12);
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
         return ReplyTo(q, {1}, Record(Pointer(static_cast<uint16_t>(QuestionEnd(q))), 1, ""));
       },
       {"error: Malformed DNS reply: compression pointer loop"}},
      {"a chain of 65 pointers",
       [](auto& q) {
         std::string chain;
         for (int i = 1; i <= 65; ++i)
           chain += Pointer(static_cast<uint16_t>(QuestionEnd(q) + 2 * i));
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
      {"the server's OPT record in the additional section",
       [](auto& q) {
         return ReplyTo(q, {1, 0, 1}, ARecord(kQ, "192.0.2.7") + OptRecord(4096));
       },
       {"answer A 192.0.2.7", "additional type 41 "}},
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

// What a truncated answer leaves out may be the address looked for: it is never decoded, the
// same query goes over TCP, and an exchange there that gives no whole answer to it fails the
// query without a response code, so that it never reads as "no address".
TEST(IdDNSResolverTest, TruncatedAnswerIsNeverTakenAndTheTcpAnswerOnlyWhenWhole) {
  const auto truncated = [](const std::string& q) {
    return std::vector<Datagram>{{ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"), 0x8380)}};
  };
  const auto whole = [](const std::string& q) {
    return ReplyTo(q, {2}, ARecord(kQ, "192.0.2.1") + ARecord(kQ, "192.0.2.2"));
  };
  const auto framed = [whole](const std::string& q) { return Stream{Framed(whole(q))}; };
  const std::vector<std::string> both = {"answer A 192.0.2.1", "answer A 192.0.2.2"};
  const std::string failed = "error: No reply over TCP from 127.0.0.1 port PORT: ";
  const struct {
    const char* what;
    ScriptedDnsServer::StreamScript stream;
    std::vector<std::string> items;
    std::optional<int> replyCode = std::nullopt;
  } cases[] = {
      {"the whole answer over TCP", framed, both, 0},
      {"bytes after the answer are not read",
       [whole](auto& q) { return Stream{Framed(whole(q)) + "\x00\x05junk"}; }, both, 0},
      {"a name error over TCP settles the name",
       [](auto& q) { return Stream{Framed(ReplyTo(q, {}, "", 0x8183))}; },
       {"error: DNS Server Reports Query Name Error"},
       3},
      {"no TCP at the server", nullptr, {failed + "Socket Error # 10061\r\nConnection refused."}},
      {"closed before the whole message",
       [whole](auto& q) { return Stream{Framed(whole(q)).substr(0, 20)}; },
       {failed + "the server closed the connection before the whole reply"}},
      {"a length longer than what comes",
       [whole](auto& q) { return Stream{U16(900) + whole(q)}; },
       {failed + "the server closed the connection before the whole reply"}},
      {"another identifier",
       [whole](auto& q) {
         std::string reply = whole(q);
         reply[0] = static_cast<char>(reply[0] ^ 1);
         return Stream{Framed(reply)};
       },
       {"error: The reply over TCP does not answer the query"}},
      {"truncated over TCP too",
       [](auto& q) { return Stream{Framed(ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"), 0x8380))}; },
       {"error: The reply over TCP is truncated"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Exchange x(truncated, c.stream);
    EXPECT_EQ(c.items, x.Query());
    EXPECT_EQ(c.replyCode, x.resolver.ReplyCode());
    if (c.stream) {
      ASSERT_EQ(x.server.StreamQueries().size(), 1u);
      EXPECT_EQ(x.server.StreamQueries()[0], x.server.Queries().at(0));
    }
  }
  // A real server's table: 100 records are too many for 1232 bytes.
  FakeDnsServer table;
  std::vector<std::string> hundred;
  for (int i = 1; i <= 100; ++i)
    hundred.push_back("198.51.100." + std::to_string(i));
  table.SetAddresses({{kName, hundred}});
  Exchange x(truncated);
  x.resolver.Port = table.Port();
  const std::vector<std::string> items = x.Query();
  ASSERT_EQ(items.size(), 101u);
  EXPECT_EQ(items[99], "answer A 198.51.100.100");
  EXPECT_EQ(items[100], "additional type 41 ");
  EXPECT_EQ(table.StreamQueries(), table.Queries());
}

// The TCP exchange is within WaitingTime, whatever part of it the UDP one took, and a cancelled
// lookup leaves it within a slice.
TEST(IdDNSResolverTest, TcpExchangeEndsWithTheWaitOrTheCancel) {
  using namespace std::chrono;
  Exchange x(
      [](const std::string& q) {
        std::this_thread::sleep_for(milliseconds(700));
        return std::vector<Datagram>{{ReplyTo(q, {}, "", 0x8380)}};
      },
      [](const std::string&) {
        return Stream{"", true};
      });
  x.resolver.WaitingTime = 1000;
  const auto start = steady_clock::now();
  EXPECT_EQ(x.Query(), std::vector<std::string>{
                           "error: No reply over TCP from 127.0.0.1 port PORT: no reply in time"});
  EXPECT_LT(steady_clock::now() - start, milliseconds(1500)) << "a new wait for TCP";

  std::atomic<bool> cancel = false;
  steady_clock::time_point cancelled;
  x.resolver.Cancel = &cancel;
  x.resolver.WaitingTime = 60000;
  std::thread later([&] {
    ASSERT_TRUE(WaitFor([&] { return x.server.StreamQueries().size() == 2; }));
    cancelled = steady_clock::now();
    cancel = true;
  });
  EXPECT_EQ(x.Query(), std::vector<std::string>{"error: No reply over TCP from 127.0.0.1 port "
                                                "PORT: the lookup was cancelled"});
  later.join();
  EXPECT_LT(steady_clock::now() - cancelled, seconds(1));
}

// A server that does not know EDNS0 answers its OPT record with a format error, with or without
// the question (RFC 6891 7); the query is then asked once more without it.
TEST(IdDNSResolverTest, FormatErrorToEdnsIsAskedOnceMoreWithoutIt) {
  const auto formerrToEdns = [](bool withQuestion) {
    return Answer([withQuestion](const std::string& q) {
      if (!OptPayload(q))
        return ReplyTo(q, {1}, ARecord(kQ, "192.0.2.1"));
      return withQuestion ? ReplyTo(q, {}, "", 0x8181)
                          : q.substr(0, 2) + U16(0x8181) + U16(0) + U16(0) + U16(0) + U16(0);
    });
  };
  const struct {
    const char* what;
    ScriptedDnsServer::Script script;
    std::vector<std::string> items;
    size_t queries;
  } cases[] = {
      {"format error with the question", formerrToEdns(true), {"answer A 192.0.2.1"}, 2},
      {"format error without the question", formerrToEdns(false), {"answer A 192.0.2.1"}, 2},
      {"a format error either way",
       Answer([](const std::string& q) { return ReplyTo(q, {}, "", 0x8181); }),
       {"error: DNS Server Reports Query Format Error"},
       2},
      {"a bare header of another error is no answer",
       Answer([](const std::string& q) {
         return q.substr(0, 2) + U16(0x8182) + std::string(8, '\0');
       }),
       {},
       3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Exchange x(c.script);
    x.resolver.WaitingTime = 300;
    x.resolver.Retransmissions = {100, 200};
    EXPECT_EQ(c.items, x.Query());
    const std::vector<std::string> sent = x.server.Queries();
    ASSERT_EQ(sent.size(), c.queries);
    EXPECT_EQ(OptPayload(sent[0]), 1232);
    if (c.queries == 2) {
      EXPECT_EQ(OptPayload(sent[1]), std::nullopt);
      EXPECT_NE(sent[0].substr(0, 2), sent[1].substr(0, 2)) << "a new identifier";
      EXPECT_EQ(sent[0].substr(12, QuestionEnd(sent[0]) - 12),
                sent[1].substr(12, QuestionEnd(sent[1]) - 12));
    }
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

#include "proxy/Quillbox_Main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <tuple>

#include "proxy/LocalClient.h"
#include "proxy/LoginName.h"
#include "proxy/ProxyHarness.h"
#include "proxy/RefusalLog.h"

namespace quillbox {
namespace {

using test::CapturingLog;
using test::Message;
using test::Pop3Client;
using test::ProxyHarness;
using test::ScriptedUpstream;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

TEST(LoginNameTest, SplitsTheLoginNameOrRefusesItWithItsOwnLogPrefix) {
  const std::string ok, four = "C<-P    -ERR ", five = "C<-P     -ERR ";
  const struct {
    std::string login, user, host;
    int port;
    std::string ruleFile, logPrefix, refusal;
  } cases[] = {
      {"alice#192.0.2.10:110;C:\\mail\\a.ini", "alice", "192.0.2.10", 110, "C:\\mail\\a.ini", ok,
       ok},
      {" alice #192.0.2.10\t:995; rules.ini ", "alice", "192.0.2.10", 995, " rules.ini ", ok, ok},
      {"alice#h:;r.ini", "alice", "h", 110, "r.ini", ok, ok},
      {"alice#h:pop3;r.ini", "alice", "h", 110, "r.ini", ok, ok},
      {"alice#h:65646;r;x#y:z", "alice", "h", 65646, "r;x#y:z", ok, ok},
      {"alice#h:0;r", "alice", "h", 0, "r", ok, ok},
      {"#:;r", "", "", 110, "r", ok, ok},
      {"alice", "", "", 110, "", four, "Delimiter # is not found in the USER command."},
      {"alice#192.0.2.10;r.ini", "", "", 110, "", five,
       "Delimiter : is not found in the USER command."},
      {"alice#h:110", "", "", 110, "", five, "Delimiter ; is not found in the USER command."},
      {"alice#h:110;", "", "", 110, "", four, "Config file name is empty."},
  };
  for (const auto& c : cases) {
    const TLoginName name = ParseLoginName(c.login);
    EXPECT_EQ(std::tie(name.User, name.Host, name.Port, name.RuleFile, name.RefusalLogPrefix,
                       name.Refusal),
              std::tie(c.user, c.host, c.port, c.ruleFile, c.logPrefix, c.refusal))
        << c.login;
  }
}

// A rule file that cannot be read whole refuses the login instead of giving every message
// the verdict Unknown.
TEST(CheckUserTest, RefusesTheLoginWithItsOwnLogLine) {
  ProxyHarness h;
  h.Start();
  const std::string rules = h.RuleFile("a:b.ini", "");
  const std::string up = "alice#127.0.0.1:" + std::to_string(h.upstream.Port()) + ";";
  const std::string big = h.folder + "/big.ini";
  std::filesystem::resize_file(h.RuleFile("big.ini", "[S25R]\n"), 2'000'000'000);
  const std::string missing = h.folder + "/missing.ini";
  struct Case {
    std::string login, reply;
    std::string log = {};  // none: the reply, logged as sent to the client
  } cases[] = {
      {"alice#127.0.0.1;x", "-ERR Delimiter : is not found in the USER command.",
       "C<-P     -ERR Delimiter : is not found in the USER command."},
      {up + missing, "-ERR Config file \"" + missing + "\" is not existed."},
      {up + h.folder, "-ERR Config file \"" + h.folder + "\" cannot be read: not a regular file."},
      {up + "/proc/self/mem",
       "-ERR Config file \"/proc/self/mem\" cannot be read: Input/output error."},
      {up + big, "-ERR Config file \"" + big + "\" cannot be read: larger than 1048576 bytes."},
      {up + h.RuleFile("sel.ini", "[S25R]\nSelectFrom=Lowest\n"),
       "-ERR SelectFrom=Lowest in section [S25R] of the rule file is not valid; use Bottom or "
       "Top."},
      {up + h.RuleFile("top.ini", "[QuillboxRules]\nAnnotateTop=yes\n"),
       "-ERR AnnotateTop=yes in section [QuillboxRules] of the rule file is not valid; use 1 or "
       "0."},
      {up + h.RuleFile("ahead.ini", "[QuillboxRules]\nLookAhead=33\n"),
       "-ERR LookAhead=33 in section [QuillboxRules] of the rule file is not valid; use 0 to 32."},
      // An allow file is the user's own: a line it cannot use would go unnoticed in the log.
      {up + h.RuleFile("nofile.ini", "[S25R]\nAllowFile=none.txt\n"),
       "-ERR Allow file \"" + h.folder + "/none.txt\" cannot be read: it does not exist."},
      {up + h.RuleFile("bigallow.ini", "[S25R]\nAllowFile=" + big + "\n"),
       "-ERR Allow file \"" + big + "\" cannot be read: larger than 1048576 bytes."},
      {up + h.RuleFile("badallow.ini",
                       "[S25R]\nAllowFile=" +
                           h.RuleFile("bad.txt", ".example.com\n198.51.100.1/24\n") + "\n"),
       "-ERR Allow file \"" + h.folder +
           "/bad.txt\" line 2: \"198.51.100.1/24\" has host bits set (the network is "
           "198.51.100.0/24)."},
      {up + h.RuleFile("zones.ini", "[S25R]\nAllowZones=list.example, bad zone\n"),
       "-ERR AllowZones=list.example, bad zone in section [S25R] of the rule file is not valid; "
       "name up to 8 DNS zones, separated by commas."},
      {up + h.RuleFile("nine.ini", "[S25R]\nAllowZones=a.x,b.x,c.x,d.x,e.x,f.x,g.x,h.x,,A.X,i.x\n"),
       "-ERR AllowZones=a.x,b.x,c.x,d.x,e.x,f.x,g.x,h.x,,A.X,i.x in section [S25R] of the rule "
       "file is not valid; name up to 8 DNS zones, separated by commas."},
      {up + rules, "+OK Login OK",
       "   P    User: alice, Host: 127.0.0.1, Port: " + std::to_string(h.upstream.Port()) +
           ", ConfigFile: " + rules},
      // Port 110: whatever answers there (usually nobody), the log names the port.
      {"alice#127.0.0.1:;" + rules, "",
       "   P    User: alice, Host: 127.0.0.1, Port: 110, ConfigFile: " + rules},
      {"alice#127.0.0.1:65646;" + rules, "-ERR Socket Error # 10022 Invalid argument.",
       "   P    Connecting to 127.0.0.1"},
      // Port 0 used to be refused with a bare "-ERR".
      {"alice#127.0.0.1:0;" + rules, "-ERR Socket Error # 10022 Invalid argument.",
       "   P    Connecting to 127.0.0.1"},
      // So was an empty host.
      {"alice#:110;" + rules, "-ERR Socket Error # 11001 Host not found.",
       "   P    Connecting to "},
  };
  for (const Case& c : cases) {
    const std::string reply = h.LoginReply(c.login, h.upstream.password);
    if (!c.reply.empty()) {
      EXPECT_EQ(reply, c.reply) << c.login;
    }
    EXPECT_TRUE(h.log.WaitFor(c.log.empty() ? "C<-P    " + c.reply : c.log)) << c.login;
  }
}

TEST(CheckUserTest, LogsEveryStepOfTheUpstreamLoginWithoutThePassword) {
  ProxyHarness h;
  h.upstream.capabilities = {"TOP", "..dotted"};
  h.Start();
  auto client = h.LoggedIn(
      "[s25r]\n MATCHSTRING =  /x/i  \ndnsserver=192.0.2.53\n"
      "[QuillboxRules]\nMaxLines=0x10\n[Notification]\n"
      "AlsoNotifyInSubject=1\nInsertionString=[SPAM]\n");
  const Lines expected = {"   P    Max lines: 16", "   P    DNS Server: 192.0.2.53",
                          "   P    Match string: /x/i"};
  Lines lines = h.log.Since("   P    Max lines: 16");
  ASSERT_GE(lines.size(), 16u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 3), expected);
  EXPECT_EQ(Lines(lines.begin() + 4, lines.begin() + 16),
            Lines({"   P    Connecting to 127.0.0.1", "   P    Connected",
                   "   P<-S +OK scripted server ready", "   P->S USER alice", "   P<-S +OK",
                   "   P->S PASS ********", "   P<-S +OK Logged in.", "   P->S CAPA", "   P<-S +OK",
                   "   P<-S TOP", "   P<-S .dotted", "   P<-S ."}));
  EXPECT_EQ(h.indicator.calls, 1);
}

TEST(CheckUserTest, RefusedCapaStillLogsIn) {
  ProxyHarness h;
  h.upstream.script = [](const std::string& command) {
    return command == "CAPA" ? std::string("-ERR no CAPA here\r\n") : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("CAPA"), "+OK Capability list follows");
  EXPECT_EQ(client->ReadUntilDot(), Lines({"TOP", "UIDL", "USER"}));
}

TEST(ConnectTest, OnlyTheLocalAddressIsGreetedUnlessOutsideIsAllowed) {
  ProxyHarness h;
  h.proxy.IdPOP3Server.TLSContext = std::make_shared<TIdSSLServerContext>(MakeCertificate({}));
  h.proxy.IdPOP3Server.Bindings().push_back({"127.0.0.1", 0, Id_IPv4, true});
  h.Start();
  Pop3Client outsider(h.port, "127.0.0.2");
  EXPECT_EQ(outsider.ReadLine(), "-ERR Only local connection is allowed.");
  EXPECT_TRUE(outsider.Closed());
  EXPECT_TRUE(h.log.WaitFor("C<-P    -ERR Only local connection is allowed."));
  // A client of the TLS port could not read the refusal in clear: it is only closed.
  Pop3Client tlsOutsider(h.proxy.IdPOP3Server.Bindings()[1].Port, "127.0.0.2");
  EXPECT_TRUE(tlsOutsider.Closed());
  EXPECT_TRUE(h.log.WaitFor(
      "   P    Only local connection is allowed: closed without a reply, as the client speaks "
      "TLS."));
  EXPECT_EQ(h.indicator.calls, 0);

  h.proxy.AllowConnectionFromOutside = true;
  Pop3Client allowed(h.port, "127.0.0.2");
  EXPECT_EQ(allowed.ReadLine(), "+OK Welcome to the Quillbox");
  EXPECT_TRUE(h.log.WaitFor("C<-P    +OK Welcome to the Quillbox"));
  EXPECT_TRUE(h.log.Lines().front().starts_with("C->P    New connection from 127.0.0.2:"));
  EXPECT_EQ(h.indicator.calls, 1);
}

// A mail client told to connect to localhost comes over ::1 on most systems; only the text
// 127.0.0.1 used to count as this machine, and such a client was refused.
TEST(ConnectTest, LoopbackClientIsLocalInEveryTextOfItsAddressOverIPv4AndIPv6) {
  const struct {
    const char* peer;
    bool local;
  } cases[] = {
      {"127.0.0.1", true},
      {"::1", true},
      {"0:0:0:0:0:0:0:1", true},
      {"::ffff:127.0.0.1", true},
      {"::FFFF:7f00:1", true},
      {"127.000.000.001", true},
      {"127.0.0.2", false},
      {"::ffff:127.0.0.2", false},
      {"::2", false},
      {"::127.0.0.1", false},
      {"127.1", false},
      {"::1%lo", false},
      {"localhost", false},
      {"", false},
      {"192.0.2.1", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsLocalClient(c.peer), c.local) << c.peer;
  }

  ProxyHarness h;
  h.proxy.IdPOP3Server.Bindings().push_back({"::1", 0, Id_IPv6});
  h.Start();
  Pop3Client v6(h.proxy.IdPOP3Server.Bindings()[1].Port, "::1");
  EXPECT_EQ(v6.ReadLine(), "+OK Welcome to the Quillbox");
  EXPECT_EQ(v6.Command("USER " + h.LoginName(h.RuleFile("r.ini", ""))), "+OK Password required")
      << "a client on this machine need not start TLS";
  EXPECT_TRUE(h.log.Lines().front().starts_with("C->P    New connection from ::1:"));
}

TEST(ConnectTest, ClientsFromOutsideMustStartTLSBeforeTheirLoginIsTaken) {
  ProxyHarness h;
  h.proxy.IdPOP3Server.TLSContext = std::make_shared<TIdSSLServerContext>(MakeCertificate({}));
  h.proxy.AllowConnectionFromOutside = true;
  h.Start();
  const std::string user = "USER " + h.LoginName(h.RuleFile("r.ini", ""));
  const std::string pass = "PASS " + h.upstream.password;
  const std::string refused =
      "-ERR This client is not on Quillbox's machine: start TLS with STLS (or use the TLS port) "
      "before USER and PASS.";
  Pop3Client outside(h.port, "127.0.0.2");
  outside.ReadLine();
  EXPECT_EQ(outside.Command(user), refused);
  EXPECT_EQ(outside.Command(pass), refused);
  EXPECT_EQ(outside.Command("STLS"), "+OK Begin TLS negotiation");
  ASSERT_EQ(outside.StartTLS(), "");
  EXPECT_EQ(outside.Command(user), "+OK Password required");
  EXPECT_EQ(outside.Command(pass), "+OK Login OK");
  EXPECT_TRUE(std::ranges::any_of(h.log.Lines(), [](const std::string& line) {
    return line.starts_with("   P    TLS with the client 127.0.0.2:") &&
           line.find(": TLSv1.3, TLS_") != std::string::npos;
  }));

  Pop3Client local(h.port);
  local.ReadLine();
  EXPECT_EQ(local.Command(user), "+OK Password required");
  h.proxy.RequireTLSFromOutside = false;
  Pop3Client allowed(h.port, "127.0.0.2");
  allowed.ReadLine();
  EXPECT_EQ(allowed.Command(user), "+OK Password required");
}

TEST(ConnectTest, FailedClientHandshakeIsLoggedWithItsReason) {
  ProxyHarness h;
  h.proxy.IdPOP3Server.TLSContext = std::make_shared<TIdSSLServerContext>(MakeCertificate({}));
  h.Start();
  Pop3Client client(h.port);
  client.ReadLine();
  EXPECT_EQ(client.Command("STLS"), "+OK Begin TLS negotiation");
  client.Send("USER alice");
  EXPECT_TRUE(client.Closed());
  ASSERT_TRUE(h.log.WaitFor("   P    An exeption is occured."));
  const Lines log = h.log.Since("   P    Disconnected");
  ASSERT_EQ(log.size(), 3u);
  EXPECT_TRUE(log[1].starts_with("   P    TLS handshake with 127.0.0.1:")) << log[1];
}

// A mail client on this machine may hold its handshake while its user reads the certificate
// prompt; it used to be ended after the 15 seconds that bound a stranger's handshake.
TEST(ConnectTest, HandshakeOfALocalClientMayTakeLongerThanOneFromOutside) {
  ProxyHarness h;
  h.proxy.IdPOP3Server.TLSContext = std::make_shared<TIdSSLServerContext>(MakeCertificate({}));
  h.proxy.IdPOP3Server.Bindings().push_back({"127.0.0.1", 0, Id_IPv4, true});
  h.proxy.IdPOP3Server.TLSHandshakeTimeout = 200;
  h.proxy.LocalTLSHandshakeTimeout = 1200;
  h.proxy.AllowConnectionFromOutside = true;
  h.Start();
  const int tlsPort = h.proxy.IdPOP3Server.Bindings()[1].Port;
  // Each stalls its handshake, over STLS and on the TLS port, from here and from outside.
  std::vector<std::unique_ptr<Pop3Client>> stalled;
  for (const char* from : {"127.0.0.1", "127.0.0.2"}) {
    stalled.push_back(std::make_unique<Pop3Client>(tlsPort, from));
    auto& stls = stalled.emplace_back(std::make_unique<Pop3Client>(h.port, from));
    stls->ReadLine();
    EXPECT_EQ(stls->Command("STLS"), "+OK Begin TLS negotiation");
  }
  const auto ended = [&h](const std::string& from, const std::string& seconds) {
    return std::ranges::count_if(h.log.Lines(), [&](const std::string& line) {
      return line.starts_with("   P    TLS handshake with " + from + ":") &&
             line.ends_with(" failed: no answer within " + seconds + " seconds.");
    });
  };
  EXPECT_TRUE(test::WaitFor([&] { return ended("127.0.0.1", "2") == 2; }));
  EXPECT_TRUE(test::WaitFor([&] { return ended("127.0.0.2", "1") == 2; }));
  for (auto& client : stalled)
    EXPECT_TRUE(client->Closed());
}

// Any host on the network may connect in a loop: with MaxConnections=1 each refused stranger
// used to hold the one place for a moment, and most of the user's mail checks were turned away.
TEST(ConnectTest, OutsideFloodCostsTheLocalClientNothing) {
  ProxyHarness h;
  h.proxy.IdPOP3Server.MaxConnections = 1;
  h.Start();
  std::atomic<bool> stop{false};
  std::atomic<int> strangers{0};
  std::thread flood([&] {
    while (!stop && strangers < 2000) {
      Pop3Client stranger(h.port, "127.0.0.2");
      ++strangers;
    }
  });
  int greeted = 0;
  for (int i = 0; i < 50; ++i) {
    Pop3Client local(h.port);
    greeted += local.ReadLine() == "+OK Welcome to the Quillbox";
    local.Command("QUIT");
  }
  stop = true;
  flood.join();
  EXPECT_EQ(greeted, 50) << strangers << " strangers";
  int refusals = 0;
  for (const std::string& line : h.log.Lines()) {
    refusals += line == "C<-P    -ERR Only local connection is allowed.";
  }
  EXPECT_LE(refusals, TRefusalLog::kLoggedPerPeriod);
}

TEST(ConnectTest, RefusalsPastTheShareOfAPeriodAreCountedNotLogged) {
  CapturingLog log;
  auto now = std::chrono::steady_clock::time_point();
  TRefusalLog refusals(log, [&now] { return now; });
  for (int i = 0; i < 13; ++i) {
    refusals.Refused("new " + std::to_string(i), "refused");
  }
  now += std::chrono::seconds(59);
  refusals.Refused("new 13", "refused");
  now += std::chrono::seconds(2);
  refusals.Refused("new 14", "refused");
  Lines lines = log.Lines();
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(Lines(lines.begin() + 18, lines.end()),
            Lines({"new 9", "refused",
                   "   P    More connections from outside: refusals go unlogged for up to 60 "
                   "seconds.",
                   "   P    4 connections from outside were refused without a log line.", "new 14",
                   "refused"}));
}

TEST(ConnectTest, ClientDroppingOutIsLoggedAsDisconnectAndException) {
  ProxyHarness h;
  h.Start();
  {
    Pop3Client client(h.port);
    client.ReadLine();
    client.Write("NOO");  // a line the proxy is still reading when the client goes
  }
  EXPECT_TRUE(h.log.WaitFor("   P    Disconnected"));
  EXPECT_TRUE(h.log.WaitFor("   P    An exeption is occured."));
}

TEST(ConnectTest, ShutdownDoesNotWaitForASilentRealServer) {
  ProxyHarness h;
  h.upstream.script = [](const std::string& command) {
    return command == "STAT" ? std::string(ScriptedUpstream::kStall) : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  client->Send("STAT");
  ASSERT_TRUE(h.log.WaitFor("   P->S STAT"));
  auto stopped = std::async(std::launch::async, [&] { h.proxy.IdPOP3Server.SetActive(false); });
  EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST(IdleClientTest, IsDisconnectedWithALogLine) {
  ProxyHarness h;
  h.proxy.IdPOP3Server.IdleTimeout = 1000;
  h.Start();
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("NOOP"), "+OK");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(client->Closed());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
  EXPECT_TRUE(h.log.WaitFor("   P    No command from the client for 1 second: disconnected."));
}

TEST(IdleClientTest, OneThatTakesNothingOfALongAnswerFreesItsPlace) {
  ProxyHarness h;
  h.proxy.IdPOP3Server.IdleTimeout = 1000;
  h.proxy.IdPOP3Server.MaxConnections = 1;
  h.upstream.messages = {Message({"Subject: big"}, Lines(150000, std::string(76, 'b')))};
  h.Start();
  auto client = h.LoggedIn();
  client->Send("RETR 1");
  ASSERT_TRUE(h.log.WaitFor("   P    An exeption is occured.", 4 * test::kWaitMs));
  Pop3Client next(h.port);
  EXPECT_EQ(next.ReadLine(), "+OK Welcome to the Quillbox");
}

}  // namespace
}  // namespace quillbox

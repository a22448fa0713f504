#include "proxy/Quillbox_Main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>

#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using test::Pop3Client;
using test::ProxyHarness;
using Lines = std::vector<std::string>;

std::string Login(ProxyHarness& h, const std::string& loginName, const std::string& password) {
  Pop3Client client(h.port);
  client.ReadLine();
  client.Command("USER " + loginName);
  return client.Command("PASS " + password);
}

TEST(CheckUserTest, SplitsTheLoginNameOrRefusesItWithItsOwnLogLine) {
  ProxyHarness h;
  h.Start();
  const std::string rules = h.RuleFile("a:b.ini", "");
  const std::string up = "alice#127.0.0.1:" + std::to_string(h.upstream.Port());
  struct Case {
    std::string login, reply, log;
  } cases[] = {
      {"alice", "-ERR Delimiter # is not found in the USER command.",
       "C<-P    -ERR Delimiter # is not found in the USER command."},
      {"alice#127.0.0.1;" + h.RuleFile("plain.ini", ""),
       "-ERR Delimiter : is not found in the USER command.",
       "C<-P     -ERR Delimiter : is not found in the USER command."},
      {up, "-ERR Delimiter ; is not found in the USER command.",
       "C<-P     -ERR Delimiter ; is not found in the USER command."},
      {up + ";", "-ERR Config file name is empty.", "C<-P    -ERR Config file name is empty."},
      {up + ";" + h.folder, "-ERR Config file \"" + h.folder + "\" is not existed.",
       "C<-P    -ERR Config file \"" + h.folder + "\" is not existed."},
      {up + ";" + rules, "+OK Login OK",
       "   P    User: alice, Host: 127.0.0.1, Port: " + std::to_string(h.upstream.Port()) +
           ", ConfigFile: " + rules},
      {"alice#127.0.0.1\t:" + std::to_string(h.upstream.Port()) + ";" + rules, "+OK Login OK",
       "   P    Connecting to 127.0.0.1"},
      // Port 110: whatever answers there (usually nobody), the log names the port.
      {"alice#127.0.0.1:;" + rules, "",
       "   P    User: alice, Host: 127.0.0.1, Port: 110, ConfigFile: " + rules},
      {"alice#127.0.0.1:65646;" + rules, "-ERR-Socket Error # 10022",
       "   P    Connecting to 127.0.0.1"},
      {"alice#127.0.0.1:pop3;" + rules, "",
       "   P    User: alice, Host: 127.0.0.1, Port: 110, ConfigFile: " + rules},
  };
  for (const Case& c : cases) {
    const std::string reply = Login(h, c.login, h.upstream.password);
    if (!c.reply.empty()) {
      EXPECT_EQ(reply, c.reply) << c.login;
    }
    EXPECT_TRUE(h.log.WaitFor(c.log)) << c.login;
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

TEST(CheckUserTest, RefusalsNameTheUserButNeverThePassword) {
  ProxyHarness h;
  h.upstream.script = [](const std::string& command) {
    return command.starts_with("PASS ") ? "-ERR bad password " + command.substr(5) + "\r\n"
                                        : std::string();
  };
  h.Start();
  const std::string rules = h.RuleFile("r.ini", "");
  EXPECT_EQ(Login(h, "bob#127.0.0.1:" + std::to_string(h.upstream.Port()) + ";" + rules, "pw"),
            "-ERR Quillbox sent \"USER bob\" but received \"-ERR no such user\" from the actual "
            "POP3 server.");
  EXPECT_TRUE(
      h.log.WaitFor("C<-P    Quillbox sent \"USER bob\" but received \"-ERR no such "
                    "user\" from the actual POP3 server."));
  EXPECT_EQ(Login(h, h.LoginName(rules), "hunter2"),
            "-ERR Quillbox sent \"USER alice, PASS ********\" but received \"-ERR bad password "
            "********\" from the actual POP3 server.");

  h.upstream.script = nullptr;
  auto client = h.LoggedIn();
  EXPECT_EQ(client->Command("PASS hunter2"), "-ERR Already connected.");
  EXPECT_EQ(client->Command("STAT").substr(0, 3), "+OK");
  for (const std::string& line : h.log.Lines()) {
    EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
    EXPECT_EQ(line.find(h.upstream.password), std::string::npos) << line;
  }
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
  h.Start();
  Pop3Client outsider(h.port, "127.0.0.2");
  EXPECT_EQ(outsider.ReadLine(), "-ERR Only local connection is allowed.");
  EXPECT_TRUE(outsider.Closed());
  EXPECT_TRUE(h.log.WaitFor("C<-P    -ERR Only local connection is allowed."));
  EXPECT_EQ(h.indicator.calls, 0);

  h.proxy.AllowConnectionFromOutside = true;
  Pop3Client allowed(h.port, "127.0.0.2");
  EXPECT_EQ(allowed.ReadLine(), "+OK Welcome to the Quillbox");
  EXPECT_TRUE(h.log.WaitFor("C<-P    +OK Welcome to the Quillbox"));
  EXPECT_TRUE(h.log.Lines().front().starts_with("C->P    New connection from 127.0.0.2:"));
  EXPECT_EQ(h.indicator.calls, 1);
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
  const Lines log = h.log.Lines();
  EXPECT_NE(std::find_if(log.begin(), log.end(),
                         [](const std::string& line) {
                           return line.starts_with("   P    TLS with the client 127.0.0.2:") &&
                                  line.find(": TLSv1.3, TLS_") != std::string::npos;
                         }),
            log.end());

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
    return command == "STAT" ? std::string(test::ScriptedUpstream::kStall) : std::string();
  };
  h.Start();
  auto client = h.LoggedIn();
  client->Send("STAT");
  ASSERT_TRUE(h.log.WaitFor("   P->S STAT"));
  auto stopped = std::async(std::launch::async, [&] { h.proxy.IdPOP3Server.SetActive(false); });
  EXPECT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

}  // namespace
}  // namespace quillbox

#include "proxy/UpstreamTLS.h"

#include <gtest/gtest.h>

#include <future>

#include "proxy/ProxyHarness.h"
#include "support/TlsTestPeer.h"

namespace quillbox {
namespace {

using namespace test;

using test::Pop3Client;
using test::ProxyHarness;
using Lines = std::vector<std::string>;

TEST(UpstreamSecurityTest, ReadsTheUpstreamSectionWithDefaultsByPort) {
  ProxyHarness h;
  struct Case {
    std::string content;
    int port;
    TUpstreamSecurity security;
    bool verify, valid;
    std::string caFile;
    int timeout = 120;
    bool timeoutValid = true;
  } cases[] = {
      {"", 995, TUpstreamSecurity::kTLS, true, true, ""},
      {"", 110, TUpstreamSecurity::kNone, true, true, ""},
      {"[upstream]\nsecurity = starttls\n", 995, TUpstreamSecurity::kSTARTTLS, true, true, ""},
      {"[Upstream]\nSecurity=None\n", 995, TUpstreamSecurity::kNone, true, true, ""},
      {"[Upstream]\nSecurity=tls\nVerifyCertificate=0\n", 110, TUpstreamSecurity::kTLS, false, true,
       ""},
      {"[Upstream]\nSecurity=SSL\nVerifyCertificate=no\n", 110, TUpstreamSecurity::kInvalid, false,
       true, ""},
      // A mistyped boolean is refused rather than read as the default.
      {"[Upstream]\nVerifyCertificate=flase\n", 110, TUpstreamSecurity::kNone, true, false, ""},
      {"[Upstream]\nVerifyCertificate=0x0\nCAFile=/etc/ca.pem\n", 110, TUpstreamSecurity::kNone,
       false, true, "/etc/ca.pem"},
      {"[Upstream]\nCAFile=certs/ca.pem\n", 110, TUpstreamSecurity::kNone, true, true,
       h.folder + "/certs/ca.pem"},
      {"[Upstream]\nTimeout=30\n", 110, TUpstreamSecurity::kNone, true, true, "", 30},
      {"[Upstream]\nTimeout=0x3c\n", 995, TUpstreamSecurity::kTLS, true, true, "", 60},
      // No limit at all, or a typo, must not slip through as a limit nobody chose.
      {"[Upstream]\nTimeout=0\n", 110, TUpstreamSecurity::kNone, true, true, "", 120, false},
      {"[Upstream]\nTimeout=2m\n", 110, TUpstreamSecurity::kNone, true, true, "", 120, false},
      {"[Upstream]\nTimeout=86401\n", 110, TUpstreamSecurity::kNone, true, true, "", 120, false},
  };
  for (const Case& c : cases) {
    const TUpstreamSecuritySettings s =
        ReadUpstreamSecurity(TIniFile(h.RuleFile("u.ini", c.content)), c.port);
    EXPECT_EQ(s.Security, c.security) << c.content;
    EXPECT_EQ(s.VerifyCertificate, c.verify) << c.content;
    EXPECT_EQ(s.VerifyCertificateValid, c.valid) << c.content;
    EXPECT_EQ(s.CAFile, c.caFile) << c.content;
    EXPECT_EQ(s.TimeoutSeconds, c.timeout) << c.content;
    EXPECT_EQ(s.TimeoutValid, c.timeoutValid) << c.content;
  }
}

// Logs in with a rule file; returns the reply to PASS and, after a QUIT, every command the
// real server received meanwhile.
std::pair<std::string, Lines> LoginAndQuit(ProxyHarness& h, const std::string& rules) {
  const size_t before = h.upstream.Commands().size();
  Pop3Client client(h.port);
  client.ReadLine();
  client.Command("USER " + h.LoginName(h.RuleFile("tls.ini", rules)));
  const std::string reply = client.Command("PASS " + h.upstream.password);
  client.Command("QUIT");
  const Lines commands = h.upstream.Commands();
  return {reply, Lines(commands.begin() + before, commands.end())};
}

TEST(UpstreamTLSTest, FailedSTLSRefusesTheLoginAndSendsNothingMoreInClear) {
  ProxyHarness h;
  std::string stlsAnswer;
  h.upstream.script = [&](const std::string& command) {
    return command == "STLS" ? stlsAnswer : std::string();
  };
  h.Start();
  const std::string server = "127.0.0.1:" + std::to_string(h.upstream.Port());
  struct Case {
    std::string answer, reply;
  } cases[] = {
      {"-ERR Unknown command.\r\n", "-ERR " + server +
                                        " does not offer STLS (it answered \"-ERR Unknown "
                                        "command.\"). Use Security=TLS if it has a POP3S port "
                                        "(usually 995)."},
      // Bytes behind the +OK arrived in clear and must not be read as if from inside TLS.
      {"+OK Begin TLS negotiation now.\r\n+OK Logged in.\r\n",
       "-ERR " + server +
           " sent data after its answer to STLS, before TLS started; the connection may have "
           "been tampered with."},
  };
  for (const Case& c : cases) {
    stlsAnswer = c.answer;
    const auto [reply, commands] = LoginAndQuit(h, "[Upstream]\nSecurity=STARTTLS\n");
    EXPECT_EQ(reply, c.reply);
    EXPECT_EQ(commands, Lines({"STLS"})) << c.answer;
    EXPECT_TRUE(h.log.WaitFor("C<-P    " + c.reply));
  }
  EXPECT_TRUE(h.log.WaitFor("   P->S STLS"));
  EXPECT_TRUE(h.log.WaitFor("   P<-S -ERR Unknown command."));
}

TEST(UpstreamTLSTest, InvalidSettingsAreRefusedBeforeConnecting) {
  ProxyHarness h;
  h.Start();
  EXPECT_EQ(LoginAndQuit(h, "[Upstream]\nSecurity=SSL\n"),
            std::make_pair(std::string("-ERR Security=SSL in section [Upstream] of the rule file "
                                       "is not valid; use None, TLS or STARTTLS."),
                           Lines()));
  EXPECT_EQ(LoginAndQuit(h, "[Upstream]\nVerifyCertificate=maybe\n").first,
            "-ERR VerifyCertificate=maybe in section [Upstream] of the rule file is not valid; "
            "use 1 or 0.");
  EXPECT_EQ(LoginAndQuit(h, "[Upstream]\nTimeout=-5\n").first,
            "-ERR Timeout=-5 in section [Upstream] of the rule file is not valid; use a number of "
            "seconds from 1 to 86400.");
}

TEST(UpstreamTLSTest, TLSToAPlainServerIsRefusedWithAdvice) {
  ProxyHarness h;
  h.Start();
  const auto [reply, commands] = LoginAndQuit(h, "[Upstream]\nSecurity=TLS\n");
  EXPECT_EQ(reply.substr(0, 30), "-ERR TLS handshake with 127.0.");
  EXPECT_NE(reply.find("does not speak TLS from the first byte"), std::string::npos) << reply;
  for (const std::string& command : commands)
    EXPECT_EQ(command.find("PASS"), std::string::npos);
}

TEST(UpstreamTLSTest, TheServerSeesTheEndOfTheSessionAsCloseNotify) {
  // Strict servers take an end without close_notify for a cut-off session.
  const TIdCertificate certificate = MakeCertificate({});
  std::promise<int> ended;
  TlsTestPeer server(&certificate, [&](SSL* ssl, int fd) {
    PeerSend(ssl, fd, "+OK TLS from the first byte\r\n");
    ended.set_value(PeerReadToEnd(ssl, fd, [](const std::string& command) {
      return command == "CAPA" ? "-ERR\r\n" : "+OK\r\n";
    }));
  });
  ProxyHarness h;
  h.Start();
  Pop3Client client(h.port);
  client.ReadLine();
  client.Command("USER alice#127.0.0.1:" + std::to_string(server.Port()) + ";" +
                 h.RuleFile("tls.ini", "[Upstream]\nSecurity=TLS\nVerifyCertificate=0\n"));
  ASSERT_EQ(client.Command("PASS " + h.upstream.password), "+OK Login OK");
  EXPECT_EQ(client.Command("QUIT").substr(0, 3), "+OK");
  EXPECT_EQ(ended.get_future().get(), SSL_ERROR_ZERO_RETURN);
}

}  // namespace
}  // namespace quillbox

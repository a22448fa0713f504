#include "proxy/UpstreamLines.h"

#include <gtest/gtest.h>

#include "proxy/ProxyHarness.h"

namespace quillbox {
namespace {

using namespace test;
using namespace std::chrono_literals;

// The real server goes silent before its greeting, after the status line of a listing, and in
// the middle of a message.
struct Silence {
  const char* name;
  std::string command;   // what the client sends into the silence; PASS logs in
  std::string waiting;   // the log line after which the proxy waits
  std::string answer;    // the real server's answer to the command before it falls silent
  std::string timedOut;  // what a client that stays gets first once the timeout has passed
};

std::vector<Silence> Silences() {
  return {
      {"greeting", "PASS", "   P    Connected", "", "-ERR No greeting from 127.0.0.1:"},
      {"listing", "LIST", "   P->S LIST", "+OK 2 messages\r\n", "-ERR No answer from 127.0.0.1:"},
      // The header is read whole before the reply goes out, so the silence falls in the body.
      {"message", "RETR 1", "   P->S RETR 1", "+OK 20 octets\r\nSubject: x\r\n\r\nbo",
       "+OK 20 octets"},
  };
}

// Starts the harness with the real server scripted for the silence, logs in (only up to PASS
// for the greeting's) and sends the command that meets it.
std::unique_ptr<Pop3Client> IntoTheSilence(ProxyHarness& h, const Silence& silence,
                                           const std::string& rules) {
  h.upstream.messages = {Message({"Subject: x"}, {"body"})};
  h.upstream.script = [silence](const std::string& command) {
    return command == silence.command ? silence.answer : std::string();
  };
  std::unique_ptr<Pop3Client> client;
  if (silence.command == "PASS") {
    h.upstream.greeting = ScriptedUpstream::kStall;
    h.Start();
    client = std::make_unique<Pop3Client>(h.port);
    client->ReadLine();
    client->Command("USER " + h.LoginName(h.RuleFile("rules.ini", rules)));
  } else {
    h.Start();
    client = h.LoggedIn(rules);
  }
  client->Send(silence.command == "PASS" ? "PASS " + h.upstream.password : silence.command);
  return client;
}

TEST(SilentServerTest, AClientThatLeavesFreesItsPlaceAtOnce) {
  for (const Silence& silence : Silences()) {
    SCOPED_TRACE(silence.name);
    ProxyHarness h;
    h.proxy.IdPOP3Server.MaxConnections = 1;
    auto client = IntoTheSilence(h, silence, "");
    ASSERT_TRUE(h.log.WaitFor(silence.waiting));
    client.reset();
    EXPECT_TRUE(h.GreetsWithin(1s));
  }
}

TEST(SilentServerTest, AClientThatStaysGetsACleanAnswerOnceTheTimeoutPasses) {
  for (const Silence& silence : Silences()) {
    SCOPED_TRACE(silence.name);
    ProxyHarness h;
    auto client = IntoTheSilence(h, silence, "[Upstream]\nTimeout=1\n");
    const std::string reply = client->ReadLine();
    EXPECT_TRUE(reply.starts_with(silence.timedOut)) << reply;
    if (reply.starts_with("-ERR")) {
      EXPECT_NE(reply.find(" within 1 second."), std::string::npos) << reply;
      EXPECT_EQ(client->Command("NOOP"), "+OK");
    } else {
      // Once a message has begun, only an unfinished transfer tells the client it broke off.
      EXPECT_EQ(client->ReadUntilDot().back(), "<closed>");
    }
  }
}

}  // namespace
}  // namespace quillbox

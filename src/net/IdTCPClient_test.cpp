#include "net/IdTCPClient.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <map>

#include "net/IdException.h"
#include "support/FakeDns.h"
#include "support/Loopback.h"

namespace quillbox {
namespace {

using namespace test;
using namespace std::chrono_literals;

class IdTCPClientTest : public ::testing::Test {
 protected:
  IdTCPClientTest() : client(stack) {}

  FakeNameService stack;
  TIdTCPClient client;
};

TEST_F(IdTCPClientTest, ConnectFailures) {
  // Bound but not listening: a connect is refused, and no other program can take the port.
  int closed = 0;
  const int holder = BoundLoopbackSocket(SOCK_STREAM, closed);
  struct Case {
    std::string host;
    int port;
    std::string message;
    std::vector<std::string> lookups;
  } cases[] = {
      {"", 110, "", {}},
      {"127.0.0.1", 0, "", {}},
      {"no.such.host", 110, "Socket Error # 11001\r\nHost not found.", {"no.such.host"}},
      {"999.1.1.1", 110, "Socket Error # 11001\r\nHost not found.", {"999.1.1.1"}},
      {"127.0.0.1", closed, "Socket Error # 10061\r\nConnection refused.", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host + ":" + std::to_string(c.port));
    const size_t asked = stack.Asked().size();
    client.Host = c.host;
    client.Port = c.port;
    try {
      client.Connect();
      ADD_FAILURE() << "connected";
    } catch (const EIdException& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    const std::vector<std::string> lookups = stack.Asked();
    EXPECT_EQ(std::vector<std::string>(lookups.begin() + asked, lookups.end()), c.lookups);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_FALSE(client.HasIOHandler());
  }
  ::close(holder);
}

TEST_F(IdTCPClientTest, LocalhostAndDottedAddressesSkipTheLookup) {
  LoopbackListener server;
  stack.addressOf["mail.example"] = "127.0.0.1";
  for (const char* host : {"localhost", "LocalHost", "127.0.0.1", "mail.example"}) {
    SCOPED_TRACE(host);
    client.Host = host;
    client.Port = server.Port();
    client.Connect();
    auto accepted = server.Accept();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(client.IOHandler().PeerIP(), "127.0.0.1");
    client.Disconnect();
  }
  EXPECT_EQ(stack.Asked(), std::vector<std::string>{"mail.example"});
}

TEST_F(IdTCPClientTest, SecondConnectWhileConnectedFails) {
  LoopbackListener server;
  client.Host = "127.0.0.1";
  client.Port = server.Port();
  client.Connect();
  try {
    client.Connect();
    FAIL() << "connected twice";
  } catch (const EIdAlreadyConnected& e) {
    EXPECT_EQ(e.Message(), "Already connected.");
  }
  EXPECT_TRUE(client.IsConnected());
}

TEST_F(IdTCPClientTest, ReconnectAfterServerClosed) {
  LoopbackListener server;
  client.Host = "127.0.0.1";
  client.Port = server.Port();
  client.Connect();
  auto first = server.Accept();
  ASSERT_TRUE(first);
  first->WriteLine("+OK bye");
  first->Close();
  // The unread line keeps the connection usable; once it is read the close shows.
  EXPECT_TRUE(client.IsConnected());
  client.IOHandler().ReadTimeout = 5000;
  EXPECT_EQ(client.IOHandler().ReadLine(), "+OK bye");
  EXPECT_TRUE(WaitFor([&] { return !client.IsConnected(); }));
  EXPECT_FALSE(client.IOHandler().SocketOpen());
  client.Connect();
  auto second = server.Accept();
  ASSERT_TRUE(second);
  second->WriteLine("+OK again");
  client.IOHandler().ReadTimeout = 5000;
  EXPECT_EQ(client.IOHandler().ReadLine(), "+OK again");
}

TEST_F(IdTCPClientTest, DestructionSendsNothing) {
  LoopbackListener server;
  auto owned = std::make_unique<TIdTCPClient>(stack);
  owned->Host = "127.0.0.1";
  owned->Port = server.Port();
  owned->Connect();
  auto accepted = server.Accept();
  ASSERT_TRUE(accepted);
  owned.reset();
  EXPECT_THROW(accepted->ReadLine(), EIdConnClosedGracefully);
  EXPECT_TRUE(accepted->InputBuffer().empty());
}

TEST_F(IdTCPClientTest, AbortWakesABlockedReadAndRefusesLaterConnects) {
  LoopbackListener silent;  // never accepts, never answers
  client.Host = "127.0.0.1";
  client.Port = silent.Port();
  client.Connect();
  auto reader = std::async(std::launch::async, [&] {
    try {
      client.IOHandler().ReadLine();
    } catch (const EIdException&) {
    }
  });
  std::this_thread::sleep_for(50ms);
  client.Abort();
  EXPECT_EQ(reader.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(client.IsConnected());
  EXPECT_THROW(client.Connect(), EIdClosedSocket);
}

// Fills the backlog of a listener that never accepts until a connect waits; false when the
// system never makes a connect wait.
bool FillBacklog(TIdStack& stack, int port, std::vector<std::unique_ptr<TIdTCPClient>>& clients) {
  for (int i = 0; i < 64; ++i) {
    auto next = std::make_unique<TIdTCPClient>(stack);
    next->Host = "127.0.0.1";
    next->Port = port;
    next->ConnectTimeout = 200;
    try {
      next->Connect();
    } catch (const EIdConnectTimeout& e) {
      EXPECT_EQ(e.Message(), "Connect timed out.");
      EXPECT_FALSE(next->HasIOHandler());
      return true;
    }
    clients.push_back(std::move(next));
  }
  return false;
}

TEST_F(IdTCPClientTest, ConnectTimeoutEndsAWaitingConnect) {
  LoopbackListener silent;
  std::vector<std::unique_ptr<TIdTCPClient>> clients;
  if (!FillBacklog(stack, silent.Port(), clients))
    GTEST_SKIP() << "the system never let a connect wait";
}

TEST_F(IdTCPClientTest, AbortEndsAConnectWithoutTimeLimit) {
  LoopbackListener silent;
  std::vector<std::unique_ptr<TIdTCPClient>> clients;
  if (!FillBacklog(stack, silent.Port(), clients))
    GTEST_SKIP() << "the system never let a connect wait";
  // A name, so that the lookup just before the connect tells when it begins.
  stack.addressOf["silent.example"] = "127.0.0.1";
  client.Host = "silent.example";
  client.Port = silent.Port();
  auto connecting = std::async(std::launch::async, [&] {
    try {
      client.Connect();
      return std::string("connected");
    } catch (const EIdException& e) {
      return e.Message();
    }
  });
  EXPECT_TRUE(WaitFor([&] { return !stack.Asked().empty(); }));
  client.Abort();
  ASSERT_EQ(connecting.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(connecting.get(), "Disconnected.");
}

}  // namespace
}  // namespace quillbox

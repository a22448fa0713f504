#include "pop3/IdCustomTCPServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <set>

#include "net/IdException.h"
#include "net/IdTCPClient.h"
#include "pop3/IdPOP3Server.h"
#include "support/Loopback.h"
#include "support/Pop3Peers.h"
#include "support/TlsTestPeer.h"

namespace quillbox {
namespace {

using namespace test;
using namespace std::chrono_literals;
using Events = std::vector<std::string>;

// A context with an upstream connection of its own, as the proxy's has.
class UpstreamContext : public TIdPOP3ServerContext {
 public:
  using TIdPOP3ServerContext::TIdPOP3ServerContext;
  void Abort() override {
    Upstream.Abort();
    TIdPOP3ServerContext::Abort();
  }
  TIdTCPClient Upstream;
};

// A POP3 listener on a loopback port that records its events; clients are TIdTCPClients whose
// reads give up after 5 s.
class ListenerTest : public ::testing::Test {
 protected:
  ListenerTest() {
    server.OnConnect = [this](TIdContext&) { events.AddToMemo("Connect"); };
    server.OnDisconnect = [this](TIdContext&) { events.AddToMemo("Disconnect"); };
    server.OnException = [this](TIdContext&, const std::exception& e) {
      events.AddToMemo(std::string("Exception: ") + e.what());
    };
  }

  void Start(int maxConnections) {
    server.Bindings().push_back({"127.0.0.1", 0, Id_IPv4});
    server.MaxConnections = maxConnections;
    server.SetActive(true);
    port = server.Bindings()[0].Port;
  }

  std::unique_ptr<TIdTCPClient> Connect() {
    auto client = std::make_unique<TIdTCPClient>();
    client->Host = "127.0.0.1";
    client->Port = port;
    client->ReadTimeout = 5000;
    client->Connect();
    return client;
  }

  // The next line, or the error that ended the read.
  static std::string Read(TIdTCPClient& client) {
    try {
      return client.IOHandler().ReadLine();
    } catch (const EIdException& e) {
      return "error: " + e.Message();
    }
  }

  static std::string Command(TIdTCPClient& client, const std::string& line) {
    client.IOHandler().WriteLine(line);
    return Read(client);
  }
  // Stops the listener on another thread, so that a shutdown that hangs fails the test.
  bool StopsInTime() {
    auto stop = std::async(std::launch::async, [this] { server.SetActive(false); });
    return stop.wait_for(10s) == std::future_status::ready;
  }
  // The events, all run by now; a read under way when the connection closed adds the last one.
  void ExpectEnded(Events expected) {
    if (events.Lines().size() + 1 == expected.size())
      expected.pop_back();
    EXPECT_EQ(events.Lines(), expected);
  }

  static constexpr const char* kGreeting = "+OK Welcome to the Quillbox";
  static constexpr const char* kClosed = "error: Connection Closed Gracefully.";
  CapturingLog events;
  int port = 0;
  // Last, so that it stops before anything its events touch goes away.
  TIdPOP3Server server;
};

TEST_F(ListenerTest, OrdinaryConnection) {
  Start(0);
  auto client = Connect();
  EXPECT_EQ(Read(*client), kGreeting);
  EXPECT_EQ(Command(*client, "NOOP"), "+OK");
  EXPECT_EQ(Command(*client, "QUIT"), "+OK");
  EXPECT_EQ(Read(*client), kClosed);
  ASSERT_TRUE(StopsInTime());
  EXPECT_EQ(events.Lines(), (Events{"Connect", "Disconnect"}));
}

TEST_F(ListenerTest, ClientThatDropsTheConnectionEndsTheThread) {
  Start(0);
  auto client = Connect();
  EXPECT_EQ(Read(*client), kGreeting);
  client->Disconnect();
  ASSERT_TRUE(WaitFor([&] { return server.ContextCount() == 0; }));
  ASSERT_TRUE(StopsInTime());
  ExpectEnded({"Connect", "Disconnect", "Exception: Connection Closed Gracefully."});
}

TEST_F(ListenerTest, ConnectionClosedByOnConnectGetsNoGreeting) {
  server.OnConnect = [this](TIdContext& context) {
    events.AddToMemo("Connect");
    context.Connection().IOHandler().WriteLine("-ERR Only local connection is allowed.");
    context.Connection().Disconnect();
  };
  Start(0);
  auto client = Connect();
  EXPECT_EQ(Read(*client), "-ERR Only local connection is allowed.");
  EXPECT_EQ(Read(*client), kClosed);
  ASSERT_TRUE(StopsInTime());
  EXPECT_EQ(events.Lines(), (Events{"Connect", "Disconnect"}));
}

TEST_F(ListenerTest, LimitOfOneRefusesTheSecondClientUntilTheFirstQuits) {
  Start(1);
  auto first = Connect();
  EXPECT_EQ(Read(*first), kGreeting);
  auto second = Connect();
  EXPECT_EQ(Read(*second), "-ERR Too many connections. Try again later.");
  EXPECT_EQ(Read(*second), kClosed);
  EXPECT_EQ(Command(*first, "QUIT"), "+OK");
  ASSERT_TRUE(WaitFor([&] { return server.ContextCount() == 0; }));
  auto third = Connect();
  EXPECT_EQ(Read(*third), kGreeting);
}

// A place is given back exactly once, whether released, moved away or destroyed: a place given
// back twice would let one client too many in.
TEST(ConnectionSlotsTest, EachPlaceIsGivenBackOnce) {
  TConnectionSlots slots;
  std::optional<TConnectionSlots::TSlot> first = slots.Take(2);
  std::optional<TConnectionSlots::TSlot> second = slots.Take(2);
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(slots.Take(2));
  first->Release();
  first->Release();
  EXPECT_EQ(slots.Taken(), 1);
  TConnectionSlots::TSlot moved = std::move(*second);
  second.reset();
  EXPECT_EQ(slots.Taken(), 1);
  moved = std::move(*slots.Take(0));  // the place moved over is given back
  EXPECT_EQ(slots.Taken(), 1);
  moved = TConnectionSlots::TSlot();
  EXPECT_EQ(slots.Taken(), 0);
}

// A client told good-bye may connect again at once: the place is free before the good-bye goes.
TEST_F(ListenerTest, ReconnectRightAfterQuitIsNeverRefused) {
  Start(1);
  int greeted = 0;
  for (int i = 0; i < 200; ++i) {
    auto client = Connect();
    greeted += Read(*client) == kGreeting;
    Command(*client, "QUIT");
  }
  EXPECT_EQ(greeted, 200);
}

TEST_F(ListenerTest, RefusedByTheAdmitHookTakesNoPlace) {
  std::atomic<bool> refuse{true};
  server.OnAdmit = [&refuse](TIdTCPConnection& connection, bool) {
    if (refuse)
      connection.IOHandler().WriteLine("-ERR go away");
    return !refuse;
  };
  Start(1);
  for (int i = 0; i < 3; ++i) {
    auto stranger = Connect();
    EXPECT_EQ(Read(*stranger), "-ERR go away");
    EXPECT_EQ(Read(*stranger), kClosed);
  }
  EXPECT_EQ(events.Lines(), Events());
  refuse = false;
  auto client = Connect();
  EXPECT_EQ(Read(*client), kGreeting);
}

TEST_F(ListenerTest, LimitOfOneHoldsForClientsArrivingTogether) {
  Start(1);
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    auto a = Connect();
    auto b = Connect();
    std::multiset<std::string> first = {Read(*a), Read(*b)};
    EXPECT_EQ(first, (std::multiset<std::string>{kGreeting,
                                                 "-ERR Too many connections. Try again later."}));
    a.reset();
    b.reset();
    // A context leaves Contexts and gives its place back in one step.
    ASSERT_TRUE(WaitFor([&] { return server.ContextCount() == 0; }));
  }
}

TEST_F(ListenerTest, NoLimitServesManyClientsAtOnce) {
  Start(0);
  std::vector<std::unique_ptr<TIdTCPClient>> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(Connect());
    EXPECT_EQ(Read(*clients.back()), kGreeting);
  }
  for (auto& client : clients) {
    EXPECT_EQ(Command(*client, "NOOP"), "+OK");
  }
  EXPECT_EQ(server.ContextCount(), 20u);
  ASSERT_TRUE(StopsInTime());
  EXPECT_EQ(server.ContextCount(), 0u);
}

TEST_F(ListenerTest, BindFailureLeavesNothingListening) {
  LoopbackListener occupant;
  server.Bindings().push_back({"127.0.0.1", 0, Id_IPv4});
  server.Bindings().push_back({"127.0.0.1", occupant.Port(), Id_IPv4});
  const size_t before = OpenDescriptors();
  try {
    server.SetActive(true);
    FAIL() << "activated on a port in use";
  } catch (const EIdCouldNotBindSocket& e) {
    EXPECT_EQ(e.Message(), "Could not bind socket. Address and port are already in use.");
  }
  EXPECT_FALSE(server.Active());
  EXPECT_EQ(OpenDescriptors(), before) << "the socket bound first is closed again";
}

TEST_F(ListenerTest, DefaultBindingsServeIPv4AndIPv6OnOnePort) {
  server.SetActive(true);  // DefaultPort 0: the system picks the port
  ASSERT_GE(server.Bindings().size(), 1u);
  port = server.Bindings()[0].Port;
  auto v4 = Connect();
  EXPECT_EQ(Read(*v4), kGreeting);
  if (server.Bindings().size() < 2)
    GTEST_SKIP() << "no IPv6";
  EXPECT_EQ(server.Bindings()[1].Port, port);
  auto socket = TIdPosixSocket::Create(Id_IPv6);
  socket->Connect("::1", port, 5000);
  TIdIOHandlerStack v6;
  v6.Open(std::move(socket));
  v6.ReadTimeout = 5000;
  EXPECT_EQ(v6.ReadLine(), kGreeting);
}

TEST_F(ListenerTest, ShutdownWithAnIdleClientWaitsForItsThread) {
  Start(0);
  auto client = Connect();
  EXPECT_EQ(Read(*client), kGreeting);
  ASSERT_TRUE(StopsInTime());
  // Every event, a failed read's report included, has run when the shutdown returns.
  ExpectEnded({"Connect", "Disconnect", "Exception: Not Connected"});
  EXPECT_EQ(Read(*client), kClosed);
}

TEST_F(ListenerTest, ShutdownEndsAThreadBlockedOnASilentUpstream) {
  LoopbackListener silent;
  std::atomic<bool> blocked{false};
  server.SetContextClass<UpstreamContext>();
  server.OnStat = [&](TIdCommand& cmd, int&, int&) {
    auto& upstream = dynamic_cast<UpstreamContext&>(cmd.Context()).Upstream;
    upstream.Host = "127.0.0.1";
    upstream.Port = silent.Port();
    upstream.Connect();
    blocked = true;
    upstream.IOHandler().ReadLine();
  };
  Start(0);
  auto client = Connect();
  EXPECT_EQ(Read(*client), kGreeting);
  EXPECT_EQ(Command(*client, "PASS x"), "+OK Login OK");
  client->IOHandler().WriteLine("STAT");
  ASSERT_TRUE(WaitFor([&] { return blocked.load(); }));
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(StopsInTime());
}

TEST_F(ListenerTest, TableIsBuiltOnceAcrossActivations) {
  Start(0);
  const size_t entries = server.CommandHandlers.Count();
  EXPECT_EQ(entries, 15u);
  server.SetActive(false);
  server.SetActive(true);
  EXPECT_EQ(server.CommandHandlers.Count(), entries);
}

// The listener with a self-signed certificate for localhost, a plain binding and a TLS one; the
// clients trust that certificate by its file, as a mail client is told to.
class TLSListenerTest : public ListenerTest {
 protected:
  TLSListenerTest() {
    server.TLSContext = std::make_shared<TIdSSLServerContext>(certificate);
    server.OnTLSStarted = [this](TIdContext& c) { events.AddToMemo("TLS " + c.TLS->Protocol()); };
    server.OnCheckUser = [this](TIdPOP3ServerContext& c, TIdPOP3ServerContext&) {
      events.AddToMemo("CheckUser " + c.Username);
    };
    server.Bindings().push_back({"127.0.0.1", 0, Id_IPv4});
    server.Bindings().push_back({"127.0.0.1", 0, Id_IPv4, true});
    server.SetActive(true);
    port = server.Bindings()[0].Port;
    tlsPort = server.Bindings()[1].Port;
  }
  ~TLSListenerTest() override { std::remove(trusted.c_str()); }

  // Events recorded for the connection, once its thread has ended.
  Events Ended() {
    EXPECT_TRUE(WaitFor([&] { return server.ContextCount() == 0; }));
    return events.Lines();
  }

  TIdCertificate certificate = MakeCertificate({});
  std::string trusted = WriteTestPem(certificate);
  int tlsPort = 0;
};

TEST_F(TLSListenerTest, StlsStartsTheSessionAgainInsideTLS) {
  Pop3Client client(port);
  EXPECT_EQ(client.ReadLine(), kGreeting);
  EXPECT_EQ(client.Command("USER before"), "+OK Password required");
  EXPECT_EQ(client.Command("STLS"), "+OK Begin TLS negotiation");
  ASSERT_EQ(client.StartTLS(trusted), "");
  EXPECT_EQ(client.Command("CAPA"), "+OK Capability list follows");
  EXPECT_EQ(client.ReadUntilDot(), (Events{"USER"}));
  EXPECT_EQ(client.Command("STLS"), "-ERR TLS is already active.");
  EXPECT_EQ(client.Command("PASS x"), "+OK Login OK");
  EXPECT_EQ(client.Command("QUIT"), "+OK");
  EXPECT_EQ(Ended(), (Events{"Connect", "TLS TLSv1.3", "CheckUser ", "Disconnect"}));
}

TEST_F(TLSListenerTest, BytesSentInClearAfterStlsAreDiscarded) {
  Pop3Client client(port);
  EXPECT_EQ(client.ReadLine(), kGreeting);
  client.Write("STLS\r\nUSER injected\r\n");
  EXPECT_EQ(client.ReadLine(), "+OK Begin TLS negotiation");
  ASSERT_EQ(client.StartTLS(trusted), "");
  EXPECT_EQ(client.Command("PASS x"), "+OK Login OK");
  EXPECT_EQ(events.Lines().back(), "CheckUser ");
}

TEST_F(TLSListenerTest, FailedHandshakeEndsThatConnectionWithItsReason) {
  {
    Pop3Client client(port);
    EXPECT_EQ(client.ReadLine(), kGreeting);
    client.Write("STLS\r\nNOOP\r\n");
    EXPECT_EQ(client.ReadLine(), "+OK Begin TLS negotiation");
    client.Write("not a TLS client hello\r\n");
    EXPECT_TRUE(client.Closed());
  }
  Events events = Ended();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1], "Disconnect");
  EXPECT_TRUE(events[2].starts_with("Exception: TLS handshake with 127.0.0.1:")) << events[2];
  EXPECT_TRUE(events[2].ends_with(" 6 bytes the client sent in clear after STLS were discarded."))
      << events[2];
  // A plain client on the TLS port gets nothing in clear.
  Pop3Client plain(tlsPort);
  plain.Send("CAPA");
  EXPECT_TRUE(plain.Closed());
  Pop3Client next(port);
  EXPECT_EQ(next.ReadLine(), kGreeting);
}

TEST_F(TLSListenerTest, TLSPortSpeaksTLSFromTheFirstByte) {
  Pop3Client client(tlsPort);
  ASSERT_EQ(client.StartTLS(trusted), "");
  EXPECT_EQ(client.ReadLine(), kGreeting);
  EXPECT_EQ(client.Command("STLS"), "-ERR TLS is already active.");
  EXPECT_EQ(client.Command("CAPA"), "+OK Capability list follows");
  EXPECT_EQ(client.ReadUntilDot(), (Events{"USER"}));
  EXPECT_EQ(client.Command("QUIT"), "+OK");
  EXPECT_EQ(Ended(), (Events{"TLS TLSv1.3", "Connect", "Disconnect"}));
}

TEST_F(TLSListenerTest, ClientOverTheLimitOnTheTLSPortIsClosedWithoutAWordInClear) {
  server.MaxConnections = 1;
  Pop3Client first(port);
  EXPECT_EQ(first.ReadLine(), kGreeting);
  Pop3Client second(tlsPort);
  EXPECT_TRUE(second.Closed());
}

TEST_F(TLSListenerTest, StalledHandshakesEndInTimeAndHoldUpNeitherOthersNorShutdown) {
  server.TLSHandshakeTimeout = 200;
  Pop3Client stalled(tlsPort);
  Pop3Client other(port);
  EXPECT_EQ(other.ReadLine(), kGreeting);
  EXPECT_TRUE(stalled.Closed());
  EXPECT_TRUE(WaitFor([this] {
    return std::ranges::any_of(events.Lines(), [](const std::string& event) {
      return event.starts_with("Exception: TLS handshake with 127.0.0.1:") &&
             event.ends_with(" failed: no answer within 1 seconds.");
    });
  })) << events.Lines().size();
  server.TLSHandshakeTimeout = 60000;
  Pop3Client silent(tlsPort);
  // Its handshake is under way once its thread counts beside the other client's.
  ASSERT_TRUE(WaitFor([this] { return server.ContextCount() == 2; }));
  EXPECT_TRUE(StopsInTime());
}

TEST_F(ListenerTest, TLSPortWithoutACertificateIsNotActivated) {
  server.Bindings().push_back({"127.0.0.1", 0, Id_IPv4, true});
  EXPECT_THROW(server.SetActive(true), EIdException);
  EXPECT_FALSE(server.Active());
}

}  // namespace
}  // namespace quillbox

#include "net/IdIOHandler.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <thread>

#include "net/IdException.h"
#include "support/FakeSocket.h"

namespace quillbox {
namespace {

using namespace test;
using namespace std::chrono_literals;

// A line connection on one end of a real socket pair; the test plays the other end.
class SocketPair {
 public:
  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    io.Open(std::make_unique<TIdPosixSocket>(fds[0]));
    peer_ = fds[1];
  }
  ~SocketPair() { ClosePeer(); }

  void PeerWrite(const std::string& bytes) {
    ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  void ClosePeer() {
    if (peer_ >= 0)
      ::close(peer_);
    peer_ = -1;
  }

  TIdIOHandlerStack io;

 private:
  int peer_ = -1;
};

// Reads lines until an error or `count` lines; the error text, if any, comes last.
std::vector<std::string> ReadLines(TIdIOHandlerStack& io, size_t count) {
  std::vector<std::string> lines;
  try {
    while (lines.size() < count)
      lines.push_back(io.ReadLine());
  } catch (const EIdException& e) {
    lines.push_back("error: " + e.Message());
  }
  return lines;
}

// A read that the test ends from outside: "returned" or the error's message.
std::future<std::string> ReadLineOnAnotherThread(TIdIOHandlerStack& io, int timeoutMs) {
  return std::async(std::launch::async, [&io, timeoutMs] {
    try {
      io.ReadLine('\n', timeoutMs, -1);
      return std::string("returned");
    } catch (const EIdException& e) {
      return e.Message();
    }
  });
}

TEST(IdIOHandlerTest, ReadLineOverRealSocketPair) {
  const std::string max(16384, 'x');
  struct Case {
    const char* name;
    std::string input;
    bool peerCloses;
    size_t reads;
    std::vector<std::string> expected;
  } cases[] = {
      {"crlf", "USER a\r\n", false, 1, {"USER a"}},
      {"bare lf", "USER a\n", false, 1, {"USER a"}},
      {"lone cr stays", "a\rb\r\n", false, 1, {"a\rb"}},
      {"cr cr lf drops one cr", "a\r\r\n", false, 1, {"a\r"}},
      {"empty line", "\r\n", false, 1, {""}},
      {"two lines one packet", "one\r\ntwo\n", false, 2, {"one", "two"}},
      {"16384 accepted", max + "\n", false, 1, {max}},
      {"the limit counts a cr before the lf",
       max + "\r\n",
       false,
       1,
       {"error: Max line length exceeded."}},
      {"16385 refused", max + "y\n", false, 1, {"error: Max line length exceeded."}},
      {"16385 without lf refused", max + "y", false, 1, {"error: Max line length exceeded."}},
      {"peer closes mid-line", "QUIT", true, 1, {"error: Connection Closed Gracefully."}},
      {"complete lines before close still read",
       "a\r\nQUIT",
       true,
       2,
       {"a", "error: Connection Closed Gracefully."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair pair;
    pair.PeerWrite(c.input);
    if (c.peerCloses)
      pair.ClosePeer();
    EXPECT_EQ(ReadLines(pair.io, c.reads), c.expected);
  }
}

TEST(IdIOHandlerTest, ShortReadsStillYieldWholeLines) {
  TIdIOHandlerStack io;
  auto socket = std::make_unique<FakeSocket>();
  socket->MaxReceive = 1;
  socket->AddData("ab\r\ncd\nef\r\n");
  io.Open(std::move(socket));
  EXPECT_EQ(ReadLines(io, 4),
            (std::vector<std::string>{"ab", "cd", "ef", "error: Connection Closed Gracefully."}));
}

TEST(IdIOHandlerTest, TwoLinesInOnePacketNeedOneReceive) {
  TIdIOHandlerStack io;
  auto socket = std::make_unique<FakeSocket>();
  FakeSocket& fake = *socket;
  socket->AddData("one\r\ntwo\r\n");
  socket->AddHang();
  io.Open(std::move(socket));
  EXPECT_EQ(io.ReadLine(), "one");
  EXPECT_EQ(io.ReadLine(), "two");
  EXPECT_EQ(fake.ReceiveCalls(), 1u);
  io.Close();
}

TEST(IdIOHandlerTest, SocketErrorKeepsBufferedBytes) {
  TIdIOHandlerStack io;
  auto socket = std::make_unique<FakeSocket>();
  socket->AddData("par");
  socket->AddError(ECONNRESET);
  socket->AddData("tial\r\n");
  io.Open(std::move(socket));
  try {
    io.ReadLine();
    FAIL() << "no error";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
  }
  EXPECT_EQ(io.InputBuffer(), "par");
  EXPECT_EQ(io.ReadLine(), "partial");
}

TEST(IdIOHandlerTest, UnlimitedLengthRelaysLongLines) {
  SocketPair pair;
  const std::string line(100000, 'm');
  std::thread writer([&] { pair.PeerWrite(line + "\r\n"); });
  EXPECT_EQ(pair.io.ReadLine('\n', -1, TIdIOHandlerStack::kUnlimitedLineLength), line);
  writer.join();
}

TEST(IdIOHandlerTest, TimeoutReturnsEmptyLineAndKeepsPartialLine) {
  SocketPair pair;
  pair.PeerWrite("part");
  EXPECT_EQ(pair.io.ReadLine('\n', 30, -1), "");
  EXPECT_TRUE(pair.io.ReadLnTimedOut());
  pair.PeerWrite("ial\r\n");
  EXPECT_EQ(pair.io.ReadLine(), "partial");
  EXPECT_FALSE(pair.io.ReadLnTimedOut());
  pair.io.ReadTimeout = 30;
  EXPECT_THROW(pair.io.ReadFromSource(true, -1, true), EIdReadTimeout);
}

// A read on an upstream connection must not outlast the mail client it serves: the wait ends
// once that client has hung up, with or without a time limit; while the client stays, a limited
// wait still just times out.
TEST(IdIOHandlerTest, WaitEndsWhenTheServedPeerHangsUp) {
  for (const int timeoutMs : {-1, 60000}) {
    SCOPED_TRACE(timeoutMs);
    TIdIOHandlerStack client, upstream;
    auto clientSocket = std::make_unique<FakeSocket>();
    FakeSocket& clientPeer = *clientSocket;
    clientSocket->AddHang();
    client.Open(std::move(clientSocket));
    auto upstreamSocket = std::make_unique<FakeSocket>();
    upstreamSocket->AddHang();
    upstream.Open(std::move(upstreamSocket));
    upstream.WatchPeerOf(&client);
    EXPECT_EQ(upstream.ReadLine('\n', 30, -1), "");
    EXPECT_TRUE(upstream.ReadLnTimedOut());
    auto reader = ReadLineOnAnotherThread(upstream, timeoutMs);
    std::this_thread::sleep_for(50ms);
    clientPeer.PeerCloses();
    ASSERT_EQ(reader.wait_for(1s), std::future_status::ready);
    EXPECT_EQ(reader.get(), "The client has closed the connection.");
    upstream.Close();
  }
}

TEST(IdIOHandlerTest, CloseFromAnotherThreadWakesBlockedRead) {
  SocketPair pair;
  auto reader = ReadLineOnAnotherThread(pair.io, -1);
  std::this_thread::sleep_for(50ms);
  pair.io.Close();
  ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(reader.get(), "Not Connected");
  EXPECT_FALSE(pair.io.IsConnected());
}

TEST(IdIOHandlerTest, IsConnectedAfterPeerClosed) {
  SocketPair pair;
  EXPECT_TRUE(pair.io.IsConnected());
  pair.PeerWrite("last\r\n");
  pair.ClosePeer();
  // Unread bytes keep the connection usable until they are read.
  EXPECT_TRUE(pair.io.IsConnected());
  EXPECT_EQ(pair.io.ReadLine(), "last");
  EXPECT_FALSE(pair.io.IsConnected());
  EXPECT_FALSE(pair.io.SocketOpen());
  EXPECT_THROW(pair.io.WriteLine("x"), EIdConnClosedGracefully);
}

TEST(IdIOHandlerTest, ShortSendsDeliverEveryByte) {
  TIdIOHandlerStack io;
  auto socket = std::make_unique<FakeSocket>();
  FakeSocket& fake = *socket;
  socket->MaxSend = 3;
  socket->AddHang();
  io.Open(std::move(socket));
  io.WriteLines({"+OK 2 messages", "1 120"});
  EXPECT_EQ(fake.Sent(), "+OK 2 messages\r\n1 120\r\n");
  io.Close();
}

TEST(IdIOHandlerTest, SendErrorIsASocketError) {
  TIdIOHandlerStack io;
  auto socket = std::make_unique<FakeSocket>();
  socket->SendError = EPIPE;
  socket->AddHang();
  io.Open(std::move(socket));
  try {
    io.WriteLine("+OK");
    FAIL() << "no error";
  } catch (const EIdSocketError& e) {
    EXPECT_EQ(e.LastError(), 10058);
  }
  io.Close();
}

TEST(IdIOHandlerTest, WriteToPeerThatClosedDoesNotRaiseSigpipe) {
  SocketPair pair;
  pair.ClosePeer();
  // Either the closed peer is noticed or the send fails; the process must survive both.
  EXPECT_THROW(
      {
        for (int i = 0; i < 100; ++i)
          pair.io.Write(std::string(65536, 'x'));
      },
      EIdException);
}

}  // namespace
}  // namespace quillbox

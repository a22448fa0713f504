#include "net/IdSSLOpenSSL.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "net/IdIOHandler.h"
#include "support/Loopback.h"
#include "support/TlsTestPeer.h"

namespace quillbox {
namespace {

using namespace test;
using namespace std::chrono_literals;

// Certificates shared by the tests: an authority, a server certificate it issued for localhost
// and 127.0.0.1, the same signed by itself, and one that expired yesterday.
struct Certificates {
  TIdCertificate Authority = MakeCertificate({"Quillbox Test CA", "", -1, 30, true});
  TIdCertificate Server = MakeCertificate({}, &Authority);
  TIdCertificate SelfSigned = MakeCertificate({});
  TIdCertificate Expired = MakeCertificate({"localhost", "DNS:localhost", -30, -1}, &Authority);
  std::string AuthorityFile = WriteTestPem(Authority);
  ~Certificates() { std::remove(AuthorityFile.c_str()); }
};

Certificates& Certs() {
  static Certificates certificates;
  return certificates;
}

// A line connection to the peer, switched to TLS; the TLS socket stays reachable for checks.
struct TlsClient {
  TIdIOHandlerStack io;
  TIdPosixSocket* below = nullptr;
  TIdSSLSocket* tls = nullptr;

  explicit TlsClient(int port) {
    auto socket = TIdPosixSocket::Create(Id_IPv4);
    socket->Connect("127.0.0.1", port, kWaitMs);
    below = socket.get();
    io.Open(std::move(socket));
    tls = &InterposeTLS(io);
  }

  void Handshake(const std::string& host = "localhost", int timeoutMs = kWaitMs) {
    tls->Handshake({host, true, Certs().AuthorityFile}, timeoutMs);
  }
};

// Runs a handshake and returns "" or the error's reason and text.
std::string HandshakeError(const TIdCertificate& certificate, const TIdSSLOptions& options) {
  TlsTestPeer peer(&certificate, [](SSL*, int) {});
  TlsClient client(peer.Port());
  try {
    client.tls->Handshake(options, kWaitMs);
    return "";
  } catch (const EIdTLSError& e) {
    return std::to_string(e.Reason()) + " " + e.Message();
  }
}

TEST(TIdSSLSocketTest, VerificationAcceptsOnlyTrustedCertificatesForTheHost) {
  Certificates& c = Certs();
  struct Case {
    const char* name;
    const TIdCertificate& certificate;
    TIdSSLOptions options;
    EIdTLSError::TReason reason;
    const char* text;  // "" when the handshake must succeed
  } cases[] = {
      {"trusted by CAFile", c.Server, {"localhost", true, c.AuthorityFile}, {}, ""},
      {"host name in capitals", c.Server, {"LOCALHOST", true, c.AuthorityFile}, {}, ""},
      {"IP address", c.Server, {"127.0.0.1", true, c.AuthorityFile}, {}, ""},
      {"unknown authority",
       c.Server,
       {"localhost", true, ""},
       EIdTLSError::trCertificateUntrusted,
       "The certificate of localhost:PORT did not verify: unable to get local issuer certificate."},
      {"self-signed",
       c.SelfSigned,
       {"localhost", true, c.AuthorityFile},
       EIdTLSError::trCertificateUntrusted,
       "The certificate of localhost:PORT did not verify: self-signed certificate."},
      {"name mismatch",
       c.Server,
       {"mail.example.org", true, c.AuthorityFile},
       EIdTLSError::trCertificateName,
       "The certificate of mail.example.org:PORT did not verify: hostname mismatch."},
      {"address mismatch",
       c.Server,
       {"127.0.0.2", true, c.AuthorityFile},
       EIdTLSError::trCertificateName,
       "The certificate of 127.0.0.2:PORT did not verify: IP address mismatch."},
      {"expired",
       c.Expired,
       {"localhost", true, c.AuthorityFile},
       EIdTLSError::trCertificateExpired,
       "The certificate of localhost:PORT did not verify: certificate has expired."},
      {"unverified self-signed", c.SelfSigned, {"mail.example.org", false, ""}, {}, ""},
      {"unreadable CA file",
       c.Server,
       {"localhost", true, "/nonexistent/ca.pem"},
       EIdTLSError::trCAFile,
       "The CA file \"/nonexistent/ca.pem\" could not be read"},
  };
  for (const Case& k : cases) {
    std::string got = HandshakeError(k.certificate, k.options);
    std::string want;
    if (*k.text != '\0') {
      want = std::to_string(k.reason) + " " + k.text;
      // The port differs per run; the CA file's reason text per OpenSSL version.
      const size_t at = got.find(':', got.find(' ') + 1);
      if (at != std::string::npos && want.find(":PORT") != std::string::npos)
        got.replace(at + 1, got.find(' ', at) - at - 1, "PORT");
      got = got.substr(0, want.size());
    }
    EXPECT_EQ(got, want) << k.name;
  }
}

TEST(TIdSSLSocketTest, LinesLimitsAndEndOfStreamBehaveAsOnAPlainConnection) {
  const std::string longest(16384, 'a');
  std::string body;
  for (int i = 0; i < 3000; ++i)
    body += std::string(i % 97, static_cast<char>('a' + i % 26)) + "\r\n";
  TlsTestPeer peer(&Certs().Server, [&](SSL* ssl, int fd) {
    PeerSend(ssl, fd, "+OK ready\r\nsplit ");
    std::this_thread::sleep_for(20ms);
    PeerSend(ssl, fd, "line\nbare\r\n" + body + longest + "\n" + longest + "b\n" + "rest");
  });
  TlsClient client(peer.Port());
  client.Handshake();
  TIdIOHandlerStack& io = client.io;
  EXPECT_EQ(io.ReadLine(), "+OK ready");
  EXPECT_EQ(io.ReadLine(), "split line");
  EXPECT_EQ(io.ReadLine(), "bare");
  std::string got;
  for (int i = 0; i < 3000; ++i)
    got += io.ReadLine() + "\r\n";
  EXPECT_EQ(got, body);
  EXPECT_EQ(io.ReadLine(), longest);
  EXPECT_THROW(io.ReadLine(), EIdReadLnMaxLineLengthExceeded);
  io.ReadLine('\n', -1, TIdIOHandlerStack::kUnlimitedLineLength);
  // The peer closed without close_notify: a partial line is not returned.
  EXPECT_THROW(io.ReadLine(), EIdConnClosedGracefully);
}

TEST(TIdSSLSocketTest, IsConnectedDoesNotBlockOnRecordsWithoutData) {
  std::promise<void> done;
  TlsTestPeer peer(&Certs().Server, [&](SSL* ssl, int fd) {
    // TLS 1.3 session tickets follow the handshake: the socket is readable, yet holds no data.
    PeerSend(ssl, fd, "");
    done.get_future().wait_for(10s);
    SSL_shutdown(ssl);
  });
  TlsClient client(peer.Port());
  client.Handshake();
  EXPECT_EQ(client.tls->Protocol(), "TLSv1.3");
  EXPECT_FALSE(client.tls->Cipher().empty());
  EXPECT_TRUE(client.tls->Verified());
  std::this_thread::sleep_for(50ms);
  auto connected = std::async(std::launch::async, [&] { return client.io.IsConnected(); });
  ASSERT_EQ(connected.wait_for(3s), std::future_status::ready);
  EXPECT_TRUE(connected.get());
  done.set_value();
  // close_notify is the end of the stream, like a plain peer's close.
  EXPECT_THROW(client.io.ReadLine(), EIdConnClosedGracefully);
  EXPECT_FALSE(client.io.IsConnected());
}

TEST(TIdSSLSocketTest, GracefulCloseSendsCloseNotifyWithoutWaitingForThePeer) {
  // A peer that reads sees the end as close_notify, not as a cut (an "unexpected EOF").
  std::promise<int> ended;
  TlsTestPeer reading(&Certs().Server, [&](SSL* ssl, int fd) {
    PeerSend(ssl, fd, "+OK ready\r\n");
    ended.set_value(PeerReadToEnd(ssl, fd));
  });
  TlsClient client(reading.Port());
  client.Handshake();
  EXPECT_EQ(client.io.ReadLine(), "+OK ready");
  client.io.CloseGracefully();
  EXPECT_EQ(ended.get_future().get(), SSL_ERROR_ZERO_RETURN);

  // A peer that reads nothing, with no room left to send to it, does not hold the closer.
  std::promise<void> release;
  TlsTestPeer stalled(&Certs().Server, [&](SSL*, int) { release.get_future().wait_for(10s); });
  TlsClient stuck(stalled.Port());
  stuck.Handshake();
  const std::string filler(65536, 'x');
  while (stuck.below->SendNoWait(filler.data(), filler.size()) > 0) {
  }
  auto closed = std::async(std::launch::async, [&] { stuck.io.CloseGracefully(); });
  EXPECT_EQ(closed.wait_for(2s), std::future_status::ready);
  release.set_value();
}

// Returns when the client has closed or after 10 s, whichever comes first.
// Whatever the client sends is read and dropped, without an answer.
void WaitForClientToLeave(SSL*, int fd) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  char sink[4096];
  pollfd p{fd, POLLIN, 0};
  while (std::chrono::steady_clock::now() < deadline && ::poll(&p, 1, 100) >= 0) {
    if (p.revents != 0 && ::recv(fd, sink, sizeof sink, 0) <= 0)
      return;
  }
}

TEST(TIdSSLSocketTest, CloseFromAnotherThreadWakesABlockedReadAndHandshake) {
  // Closing the line connection ends the wait with the errors of a plain connection.
  for (const bool duringHandshake : {false, true}) {
    // A plain peer that never answers keeps the client in its handshake.
    TlsTestPeer peer(duringHandshake ? nullptr : &Certs().Server, WaitForClientToLeave);
    TlsClient client(peer.Port());
    if (!duringHandshake)
      client.Handshake();
    auto blocked = std::async(std::launch::async, [&] {
      try {
        if (duringHandshake)
          client.Handshake("localhost", -1);
        else
          client.io.ReadLine();
        return std::string("returned");
      } catch (const EIdException& e) {
        return e.Message();
      }
    });
    std::this_thread::sleep_for(100ms);
    client.io.Close();
    ASSERT_EQ(blocked.wait_for(3s), std::future_status::ready) << duringHandshake;
    // Which of the two a plain connection reports depends on where the read was woken.
    const std::string error = blocked.get();
    EXPECT_TRUE(error == "Disconnected." || (!duringHandshake && error == "Not Connected"))
        << duringHandshake << " " << error;
  }
}

TEST(TIdSSLSocketTest, HandshakeWithAServerThatIsNotTLSFailsWithAReason) {
  TlsTestPeer plain(nullptr, [](SSL*, int fd) { PeerSend(nullptr, fd, "+OK POP3 ready.\r\n"); });
  TlsClient toPlain(plain.Port());
  try {
    toPlain.Handshake();
    FAIL() << "handshake with a plain server succeeded";
  } catch (const EIdTLSError& e) {
    EXPECT_EQ(e.Reason(), EIdTLSError::trNotTLS) << e.Message();
    EXPECT_NE(e.Message().find("TLS handshake with localhost:"), std::string::npos) << e.Message();
  }

  TlsTestPeer silent(nullptr, WaitForClientToLeave);
  TlsClient toSilent(silent.Port());
  try {
    toSilent.Handshake("localhost", 200);
    FAIL() << "handshake with a silent server succeeded";
  } catch (const EIdTLSError& e) {
    EXPECT_EQ(e.Reason(), EIdTLSError::trTimeout) << e.Message();
  }
  toSilent.io.Close();
}

TEST(TIdSSLSocketTest, ServersBelowTLS12AreRefused) {
  TlsTestPeer peer(
      &Certs().Server, [](SSL*, int) {},
      [](SSL_CTX* context) {
        SSL_CTX_set_security_level(context, 0);
        SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
        SSL_CTX_set_max_proto_version(context, TLS1_1_VERSION);
      });
  TlsClient client(peer.Port());
  EXPECT_THROW(client.Handshake(), EIdTLSError);
}

TEST(TIdSSLSocketTest, BytesBufferedInClearNeverPassAsTLSData) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  TIdIOHandlerStack io;
  io.Open(std::make_unique<TIdPosixSocket>(fds[0]));
  const std::string injected = "+OK Begin TLS\r\n+OK injected\r\n";
  ASSERT_EQ(::send(fds[1], injected.data(), injected.size(), 0),
            static_cast<ssize_t>(injected.size()));
  EXPECT_EQ(io.ReadLine(), "+OK Begin TLS");
  bool layered = false;
  EXPECT_THROW(io.InterposeSocket([&](std::unique_ptr<TIdSocket> below) {
    layered = true;
    return below;
  }),
               EIdBufferNotEmpty);
  EXPECT_FALSE(layered);
  EXPECT_EQ(io.ReadLine(), "+OK injected");
  ::close(fds[1]);
}

// The server side of a loopback connection whose client plays: accepts, runs the server
// handshake and returns "" or the error's reason and text, with the client's port as PORT.
std::string ServerHandshakeError(const std::function<void(int port)>& client, int timeoutMs) {
  LoopbackListener listener;
  auto played = std::async(std::launch::async, client, listener.Port());
  auto server = listener.Accept();
  std::string error;
  try {
    InterposeTLS(*server).Accept(TIdSSLServerContext(Certs().Server), timeoutMs);
    server->WriteLine("+OK over TLS");
  } catch (const EIdTLSError& e) {
    error = std::to_string(e.Reason()) + " " + e.Message();
    const std::string port = ":" + std::to_string(server->PeerPort());
    if (const size_t at = error.find(port); at != std::string::npos)
      error.replace(at + 1, port.size() - 1, "PORT");
  }
  server->Close();
  played.wait();
  return error;
}

// A client on loopback that sends bytes (if any), then waits up to holdMs before it closes.
std::function<void(int)> PlainClient(std::string bytes, int holdMs) {
  return [bytes, holdMs](int port) {
    auto socket = TIdPosixSocket::Create(Id_IPv4);
    socket->Connect("127.0.0.1", port, kWaitMs);
    if (!bytes.empty())
      socket->Send(bytes.data(), bytes.size());
    socket->WaitReadable(holdMs);
  };
}

TEST(TIdSSLSocketTest, ServerSideServesAVerifyingClientAndNamesTheClientsThatFail) {
  std::string answer;
  const std::string served = ServerHandshakeError(
      [&answer](int port) {
        TlsClient client(port);
        client.Handshake();
        answer = client.io.ReadLine();
      },
      kWaitMs);
  EXPECT_EQ(served, "");
  EXPECT_EQ(answer, "+OK over TLS");
  struct Case {
    const char* name;
    std::function<void(int)> client;
    int timeoutMs;
    std::string error;
  } cases[] = {
      {"closes at once", PlainClient("", 0), kWaitMs,
       "3 TLS handshake with 127.0.0.1:PORT failed: the client closed the connection."},
      {"silent", PlainClient("", kWaitMs), 200,
       "2 TLS handshake with 127.0.0.1:PORT failed: no answer within 1 seconds."},
      {"plain POP3", PlainClient("USER alice\r\n", kWaitMs), kWaitMs,
       "1 TLS handshake with 127.0.0.1:PORT failed: "},
      {"refuses the certificate",
       [](int port) {
         TlsClient client(port);
         EXPECT_THROW(client.tls->Handshake({"localhost", true, ""}, kWaitMs), EIdTLSError);
       },
       kWaitMs, "0 TLS handshake with 127.0.0.1:PORT failed: tlsv1 alert unknown ca."},
  };
  for (const Case& c : cases) {
    const std::string error = ServerHandshakeError(c.client, c.timeoutMs);
    EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.name << ": " << error;
  }
}

TEST(TIdSSLSocketTest, ServerSideRefusesClientsBelowTLS12) {
  const std::string error = ServerHandshakeError(
      [](int port) {
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_security_level(context, 0);
        SSL_CTX_set_max_proto_version(context, TLS1_1_VERSION);
        SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        EXPECT_NE(SSL_connect(ssl), 1);
        SSL_free(ssl);
        ::close(fd);
        SSL_CTX_free(context);
      },
      kWaitMs);
  EXPECT_NE(error, "");
}

}  // namespace
}  // namespace quillbox

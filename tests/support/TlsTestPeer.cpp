#include "support/TlsTestPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace quillbox::test {
namespace {

constexpr int kAcceptWaitMs = 10000;

void Check(bool ok, const char* what) {
  if (!ok)
    throw std::runtime_error(std::string("TLS test peer: ") + what);
}

}  // namespace

std::string WriteTestPem(const TIdCertificate& certificate) {
  static std::atomic<int> counter{0};
  const std::string name =
      (std::filesystem::temp_directory_path() /
       ("quillbox-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".pem"))
          .string();
  std::ofstream(name) << CertificatePem(certificate.Cert.get());
  return name;
}

TlsTestPeer::TlsTestPeer(const TIdCertificate* certificate, Session session,
                         const std::function<void(SSL_CTX*)>& configure) {
  // OpenSSL writes to the descriptor with write(): a client that gave up must not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  Check(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) == 0, "bind");
  Check(::listen(listener_, 1) == 0, "listen");
  ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  if (certificate != nullptr) {
    context_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(context_, certificate->Cert.get());
    SSL_CTX_use_PrivateKey(context_, certificate->Key.get());
    if (configure)
      configure(context_);
  }
  thread_ = std::thread([this, session = std::move(session)] {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, kAcceptWaitMs) != 1)
      return;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0)
      return;
    SSL* ssl = nullptr;
    if (context_ != nullptr) {
      ssl = SSL_new(context_);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        ::close(fd);
        return;
      }
    }
    session(ssl, fd);
    SSL_free(ssl);
    ::close(fd);
  });
}

TlsTestPeer::~TlsTestPeer() {
  thread_.join();
  ::close(listener_);
  SSL_CTX_free(context_);
}

void PeerSend(SSL* ssl, int fd, const std::string& bytes) {
  if (ssl != nullptr) {
    size_t sent = 0;
    SSL_write_ex(ssl, bytes.data(), bytes.size(), &sent);
  } else {
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
}

int PeerReadToEnd(SSL* ssl, int fd, const PeerAnswer& answer) {
  const timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string input;
  char buffer[4096];
  int n;
  while ((n = SSL_read(ssl, buffer, sizeof buffer)) > 0) {
    input.append(buffer, static_cast<size_t>(n));
    for (size_t end; (end = input.find("\r\n")) != std::string::npos; input.erase(0, end + 2)) {
      const std::string reply = answer ? answer(input.substr(0, end)) : "";
      if (!reply.empty())
        PeerSend(ssl, fd, reply);
    }
  }
  return SSL_get_error(ssl, n);
}

}  // namespace quillbox::test

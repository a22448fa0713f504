#pragma once

#include <openssl/ssl.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/IdSSLCertificate.h"

namespace quillbox::test {

// Test certificates are made in memory with MakeCertificate (net/IdSSLCertificate.h), so tests
// need no files from outside and can make the odd ones (expired, wrong name, self-signed) at will.

// Writes the certificate as PEM to a fresh file in the temporary folder; returns its name.
std::string WriteTestPem(const TIdCertificate& certificate);

// A server on 127.0.0.1 that accepts one connection on its own thread and runs session on it.
// With a certificate it speaks TLS (session gets the SSL object, handshake done; a failed
// handshake ends the thread quietly); without one session gets a null SSL and the descriptor.
// The destructor waits for the thread, so sessions must end on their own (bounded waits).
class TlsTestPeer {
 public:
  using Session = std::function<void(SSL* ssl, int fd)>;
  TlsTestPeer(const TIdCertificate* certificate, Session session,
              const std::function<void(SSL_CTX*)>& configure = nullptr);
  ~TlsTestPeer();
  TlsTestPeer(const TlsTestPeer&) = delete;
  TlsTestPeer& operator=(const TlsTestPeer&) = delete;

  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  SSL_CTX* context_ = nullptr;
  std::thread thread_;
};

// Writes all bytes through TLS (or the plain descriptor when ssl is null).
void PeerSend(SSL* ssl, int fd, const std::string& bytes);

}  // namespace quillbox::test

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

// Reads through TLS until the stream ends or 10 s pass, and answers each line (CR LF cut off)
// with what answer returns, unless that is "" (no answer = nullptr: never). Returns how the
// stream ended, SSL_get_error's verdict: SSL_ERROR_ZERO_RETURN after the other side's
// close_notify, SSL_ERROR_SSL or SSL_ERROR_SYSCALL when it was cut off.
using PeerAnswer = std::function<std::string(const std::string& line)>;
int PeerReadToEnd(SSL* ssl, int fd, const PeerAnswer& answer = nullptr);

}  // namespace quillbox::test

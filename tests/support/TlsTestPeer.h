#pragma once

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quillbox::test {

// Test certificates made in memory, so tests need no files from outside and can make the odd
// ones (expired, wrong name, self-signed) at will.
struct TestKeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct TestCertDeleter {
  void operator()(X509* cert) const { X509_free(cert); }
};
using TestKey = std::unique_ptr<EVP_PKEY, TestKeyDeleter>;
using TestCert = std::unique_ptr<X509, TestCertDeleter>;

struct TestCertificate {
  TestKey Key;
  TestCert Cert;
};

struct TestCertificateSpec {
  std::string CommonName = "localhost";
  // Subject alternative names in OpenSSL's text form: "DNS:localhost,IP:127.0.0.1".
  std::string AltNames = "DNS:localhost,IP:127.0.0.1";
  long ValidFromDays = -1;  // relative to now
  long ValidToDays = 30;
  bool IsAuthority = false;
};

// Signed by issuer, or by itself when issuer is null.
TestCertificate MakeTestCertificate(const TestCertificateSpec& spec,
                                    const TestCertificate* issuer = nullptr);
// Writes the certificate as PEM to a fresh file in the temporary folder; returns its name.
std::string WriteTestPem(const TestCertificate& certificate);

// A server on 127.0.0.1 that accepts one connection on its own thread and runs session on it.
// With a certificate it speaks TLS (session gets the SSL object, handshake done; a failed
// handshake ends the thread quietly); without one session gets a null SSL and the descriptor.
// The destructor waits for the thread, so sessions must end on their own (bounded waits).
class TlsTestPeer {
 public:
  using Session = std::function<void(SSL* ssl, int fd)>;
  TlsTestPeer(const TestCertificate* certificate, Session session,
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

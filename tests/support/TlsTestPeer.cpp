#include "support/TlsTestPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace quillbox::test {
namespace {

constexpr int kAcceptWaitMs = 10000;

void Check(bool ok, const char* what) {
  if (!ok)
    throw std::runtime_error(std::string("test certificate: ") + what);
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(ext != nullptr, "extension");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

}  // namespace

TestCertificate MakeTestCertificate(const TestCertificateSpec& spec,
                                    const TestCertificate* issuer) {
  TestCertificate made;
  made.Key.reset(EVP_EC_gen("P-256"));
  Check(made.Key != nullptr, "key");
  made.Cert.reset(X509_new());
  X509* cert = made.Cert.get();
  X509_set_version(cert, 2);
  static std::atomic<long> serial{1};
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), spec.ValidFromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert), spec.ValidToDays * 86400);
  X509_set_pubkey(cert, made.Key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(spec.CommonName.c_str()), -1,
                             -1, 0);
  X509* issuerCert = issuer != nullptr ? issuer->Cert.get() : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
  AddExtension(cert, issuerCert, NID_basic_constraints,
               spec.IsAuthority ? "critical,CA:TRUE" : "CA:FALSE");
  AddExtension(cert, issuerCert, NID_subject_key_identifier, "hash");
  if (!spec.AltNames.empty())
    AddExtension(cert, issuerCert, NID_subject_alt_name, spec.AltNames);
  EVP_PKEY* signer = issuer != nullptr ? issuer->Key.get() : made.Key.get();
  Check(X509_sign(cert, signer, EVP_sha256()) > 0, "sign");
  return made;
}

std::string WriteTestPem(const TestCertificate& certificate) {
  static std::atomic<int> counter{0};
  const std::string name =
      (std::filesystem::temp_directory_path() /
       ("quillbox-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + ".pem"))
          .string();
  FILE* file = std::fopen(name.c_str(), "w");
  Check(file != nullptr, "pem file");
  PEM_write_X509(file, certificate.Cert.get());
  std::fclose(file);
  return name;
}

TlsTestPeer::TlsTestPeer(const TestCertificate* certificate, Session session,
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

}  // namespace quillbox::test

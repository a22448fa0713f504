#pragma once

#include <ctime>
#include <memory>
#include <string>

#include "net/IdException.h"

struct evp_pkey_st;
struct x509_st;
struct ssl_ctx_st;

namespace quillbox {

// A certificate or key that cannot serve: unreadable, malformed, not matching, expired. The
// message names the file and says why, so it can go to the user as it stands.
class EIdCertificateError : public EIdException {
 public:
  using EIdException::EIdException;
};

struct TIdKeyDeleter {
  void operator()(evp_pkey_st* key) const;
};
struct TIdX509Deleter {
  void operator()(x509_st* certificate) const;
};
struct TIdSSLContextDeleter {
  void operator()(ssl_ctx_st* context) const;
};

// A private key and the certificate for it. A plain value that owns both; const use from
// several threads at once is safe (OpenSSL's objects are read-only then).
struct TIdCertificate {
  std::unique_ptr<evp_pkey_st, TIdKeyDeleter> Key;
  std::unique_ptr<x509_st, TIdX509Deleter> Cert;
};

// What a new certificate says about itself.
struct TIdCertificateRequest {
  std::string CommonName = "localhost";
  // Subject alternative names in OpenSSL's text form: "DNS:localhost,IP:127.0.0.1". The caller
  // vouches for the pieces: a comma inside a name would add a name of its own.
  std::string AltNames = "DNS:localhost,IP:127.0.0.1";
  long ValidFromDays = -1;  // relative to now
  long ValidToDays = 30;
  bool IsAuthority = false;
};

// A new P-256 key and a certificate for it, signed by issuer, or by itself when issuer is null.
// A server certificate (not an authority) is marked for TLS servers only. Raises
// EIdCertificateError when OpenSSL refuses.
TIdCertificate MakeCertificate(const TIdCertificateRequest& request,
                               const TIdCertificate* issuer = nullptr);

// PEM texts; the key unencrypted (PKCS #8).
std::string CertificatePem(const x509_st* certificate);
std::string KeyPem(const evp_pkey_st* key);

// The SHA-256 fingerprint of the certificate's DER form as mail clients take it: upper-case hex
// bytes joined by colons.
std::string Sha256Fingerprint(const x509_st* certificate);

// Whether the certificate is valid for the host name or address text.
bool NamesHost(const x509_st* certificate, const std::string& host);

// When the certificate stops being valid.
std::time_t NotAfter(const x509_st* certificate);

// Raises EIdCertificateError naming file when the certificate has expired or is not valid yet.
void CheckValidNow(const x509_st* certificate, const std::string& file);

// What a TLS server shows its clients: its certificate (with the chain that came with it) and
// the private key, with the server's protocol settings (TLS 1.2 or newer, the system's cipher
// policy). Thread-safe once made: every connection starts its TLS from the same context.
class TIdSSLServerContext {
 public:
  // From PEM texts, as read from the files named (for messages). keyPem may be the certificate's
  // own text when one file holds both; further certificates after the first are its chain.
  // Raises EIdCertificateError when either cannot be read or they do not belong together.
  // Dates are not checked here (CheckValidNow).
  TIdSSLServerContext(const std::string& certificatePem, const std::string& certificateFile,
                      const std::string& keyPem, const std::string& keyFile);
  // From a certificate in memory.
  explicit TIdSSLServerContext(const TIdCertificate& certificate);
  TIdSSLServerContext(const TIdSSLServerContext&) = delete;
  TIdSSLServerContext& operator=(const TIdSSLServerContext&) = delete;

  const x509_st* Certificate() const;
  ssl_ctx_st* Handle() const { return context_.get(); }

 private:
  std::unique_ptr<ssl_ctx_st, TIdSSLContextDeleter> context_;
};

}  // namespace quillbox

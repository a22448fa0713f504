#include "net/IdSSLCertificate.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace quillbox {

namespace {

// The newest OpenSSL error of this thread as text, "unknown error" when there is none.
std::string Reason() {
  const unsigned long error = ERR_peek_last_error();
  const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
  return reason != nullptr ? reason : "unknown error";
}

void Check(bool ok, const char* what) {
  if (!ok)
    throw EIdCertificateError(std::string("A certificate could not be made (") + what + ": " +
                              Reason() + ").");
}

void AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  Check(extension != nullptr, "extension");
  const int added = X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
  Check(added == 1, "extension");
}

// A random positive serial number: two certificates made for the same name must never share
// one, or a client that remembers the first refuses the second.
void SetRandomSerial(X509* cert) {
  BIGNUM* serial = BN_new();
  const bool made = serial != nullptr && BN_rand(serial, 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY);
  const bool set = made && BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert)) != nullptr;
  BN_free(serial);
  Check(set, "serial number");
}

std::string DateText(const ASN1_TIME* time) {
  std::tm tm{};
  if (ASN1_TIME_to_tm(time, &tm) != 1)
    return "an unreadable date";
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

// A memory BIO over text; freed with the guard.
struct ReadBio {
  explicit ReadBio(const std::string& text)
      : bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size()))) {}
  ~ReadBio() { BIO_free(bio); }
  BIO* bio;
};

// What write puts into a memory BIO, as text.
template <class Write>
std::string PemText(const Write& write) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, size > 0 ? static_cast<size_t>(size) : 0);
  BIO_free(bio);
  return pem;
}

// An encrypted key would make OpenSSL ask for a pass phrase on the terminal; a server that
// starts unattended must not wait there.
int NoPassphrase(char*, int, int, void*) {
  return -1;
}

std::unique_ptr<SSL_CTX, TIdSSLContextDeleter> NewServerContext() {
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, TIdSSLContextDeleter> context(SSL_CTX_new(TLS_server_method()));
  if (!context)
    throw EIdCertificateError("TLS could not be set up: " + Reason() + ".");
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  // POP3 frames its own answers: a client that closes without close_notify ends the stream.
  SSL_CTX_set_options(context.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_default_passwd_cb(context.get(), NoPassphrase);
  return context;
}

}  // namespace

void TIdKeyDeleter::operator()(evp_pkey_st* key) const {
  EVP_PKEY_free(key);
}

void TIdX509Deleter::operator()(x509_st* certificate) const {
  X509_free(certificate);
}

void TIdSSLContextDeleter::operator()(ssl_ctx_st* context) const {
  SSL_CTX_free(context);
}

TIdCertificate MakeCertificate(const TIdCertificateRequest& request, const TIdCertificate* issuer) {
  ERR_clear_error();
  TIdCertificate made;
  made.Key.reset(EVP_EC_gen("P-256"));
  Check(made.Key != nullptr, "key");
  made.Cert.reset(X509_new());
  Check(made.Cert != nullptr, "certificate");
  X509* cert = made.Cert.get();
  X509_set_version(cert, X509_VERSION_3);
  SetRandomSerial(cert);
  X509_gmtime_adj(X509_getm_notBefore(cert), request.ValidFromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert), request.ValidToDays * 86400);
  X509_set_pubkey(cert, made.Key.get());
  X509_NAME* name = X509_get_subject_name(cert);
  Check(X509_NAME_add_entry_by_txt(
            name, "CN", MBSTRING_UTF8,
            reinterpret_cast<const unsigned char*>(request.CommonName.c_str()), -1, -1, 0) == 1,
        "name");
  X509* issuerCert = issuer != nullptr ? issuer->Cert.get() : cert;
  X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
  AddExtension(cert, issuerCert, NID_basic_constraints,
               request.IsAuthority ? "critical,CA:TRUE" : "critical,CA:FALSE");
  AddExtension(cert, issuerCert, NID_key_usage,
               request.IsAuthority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
  if (!request.IsAuthority)
    AddExtension(cert, issuerCert, NID_ext_key_usage, "serverAuth");
  AddExtension(cert, issuerCert, NID_subject_key_identifier, "hash");
  AddExtension(cert, issuerCert, NID_authority_key_identifier, "keyid");
  if (!request.AltNames.empty())
    AddExtension(cert, issuerCert, NID_subject_alt_name, request.AltNames);
  EVP_PKEY* signer = issuer != nullptr ? issuer->Key.get() : made.Key.get();
  Check(X509_sign(cert, signer, EVP_sha256()) > 0, "signature");
  return made;
}

std::string CertificatePem(const x509_st* certificate) {
  return PemText([certificate](BIO* bio) { PEM_write_bio_X509(bio, certificate); });
}

std::string KeyPem(const evp_pkey_st* key) {
  return PemText([key](BIO* bio) {
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  });
}

std::string Sha256Fingerprint(const x509_st* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1)
    return "";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, i + 1 < size ? "%02X:" : "%02X", digest[i]);
    text += hex;
  }
  return text;
}

bool NamesHost(const x509_st* certificate, const std::string& host) {
  X509* cert = const_cast<X509*>(certificate);
  ASN1_OCTET_STRING* address = a2i_IPADDRESS(host.c_str());
  const bool named = address != nullptr
                         ? X509_check_ip(cert, ASN1_STRING_get0_data(address),
                                         static_cast<size_t>(ASN1_STRING_length(address)), 0) == 1
                         : X509_check_host(cert, host.c_str(), host.size(), 0, nullptr) == 1;
  ASN1_OCTET_STRING_free(address);
  ERR_clear_error();
  return named;
}

std::time_t NotAfter(const x509_st* certificate) {
  std::tm tm{};
  if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &tm) != 1)
    return 0;
  return timegm(&tm);
}

void CheckValidNow(const x509_st* certificate, const std::string& file) {
  const ASN1_TIME* notBefore = X509_get0_notBefore(certificate);
  const ASN1_TIME* notAfter = X509_get0_notAfter(certificate);
  if (X509_cmp_current_time(notAfter) <= 0) {
    throw EIdCertificateError("The TLS certificate " + file + " expired on " + DateText(notAfter) +
                              ".");
  }
  if (X509_cmp_current_time(notBefore) >= 0) {
    throw EIdCertificateError("The TLS certificate " + file + " is not valid before " +
                              DateText(notBefore) + ".");
  }
}

TIdSSLServerContext::TIdSSLServerContext(const std::string& certificatePem,
                                         const std::string& certificateFile,
                                         const std::string& keyPem, const std::string& keyFile)
    : context_(NewServerContext()) {
  ReadBio certificates(certificatePem);
  X509* leaf = PEM_read_bio_X509(certificates.bio, nullptr, NoPassphrase, nullptr);
  const bool used = leaf != nullptr && SSL_CTX_use_certificate(context_.get(), leaf) == 1;
  X509_free(leaf);
  if (!used) {
    throw EIdCertificateError("The TLS certificate " + certificateFile +
                              " could not be read as PEM (" + Reason() + ").");
  }
  // The certificates after the first are the chain up to the authority the clients know.
  while (X509* chain = PEM_read_bio_X509(certificates.bio, nullptr, NoPassphrase, nullptr)) {
    if (SSL_CTX_add0_chain_cert(context_.get(), chain) != 1) {
      X509_free(chain);
      throw EIdCertificateError("The TLS certificate " + certificateFile +
                                " holds a chain that could not be used (" + Reason() + ").");
    }
  }
  ERR_clear_error();
  ReadBio keys(keyPem);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keys.bio, nullptr, NoPassphrase, nullptr);
  if (key == nullptr) {
    throw EIdCertificateError("The TLS key " + keyFile +
                              " could not be read as an unencrypted PEM private key (" + Reason() +
                              ").");
  }
  const bool matches = SSL_CTX_use_PrivateKey(context_.get(), key) == 1 &&
                       SSL_CTX_check_private_key(context_.get()) == 1;
  EVP_PKEY_free(key);
  if (!matches) {
    throw EIdCertificateError("The TLS key " + keyFile + " does not belong to the certificate " +
                              certificateFile + ".");
  }
}

TIdSSLServerContext::TIdSSLServerContext(const TIdCertificate& certificate)
    : context_(NewServerContext()) {
  if (SSL_CTX_use_certificate(context_.get(), certificate.Cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(context_.get(), certificate.Key.get()) != 1) {
    throw EIdCertificateError("The TLS certificate could not be used (" + Reason() + ").");
  }
}

const x509_st* TIdSSLServerContext::Certificate() const {
  return SSL_CTX_get0_certificate(context_.get());
}

}  // namespace quillbox

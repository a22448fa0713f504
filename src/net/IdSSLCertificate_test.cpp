#include "net/IdSSLCertificate.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace quillbox {
namespace {

TEST(TIdSSLServerContextTest, CertificatesThatCannotServeAreRefusedWithTheirFile) {
  const TIdCertificate authority = MakeCertificate({"Quillbox Test CA", "", -1, 30, true});
  const TIdCertificate issued = MakeCertificate({}, &authority);
  const TIdCertificate other = MakeCertificate({});
  const std::string server = CertificatePem(issued.Cert.get());
  const std::string key = KeyPem(issued.Key.get());
  // The same key, encrypted: OpenSSL would ask for a pass phrase on the terminal.
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, issued.Key.get(), EVP_aes_128_cbc(), nullptr, 0, nullptr,
                           const_cast<char*>("secret"));
  char* data = nullptr;
  // The size first: the order in which a call's arguments are evaluated is the compiler's.
  const long size = BIO_get_mem_data(bio, &data);
  const std::string encrypted(data, size);
  BIO_free(bio);
  struct Case {
    const char* name;
    std::string certificate, key, error;
  } cases[] = {
      {"separate files", server, key, ""},
      {"one file, key first", key + server, key + server, ""},
      {"with its chain", server + CertificatePem(authority.Cert.get()), key, ""},
      {"empty certificate", "", key, "The TLS certificate c.pem could not be read as PEM ("},
      {"key as certificate", key, key, "The TLS certificate c.pem could not be read as PEM ("},
      {"certificate as key", server, server,
       "The TLS key k.pem could not be read as an unencrypted PEM private key ("},
      {"encrypted key", server, encrypted,
       "The TLS key k.pem could not be read as an unencrypted PEM private key ("},
      {"another certificate's key", server, KeyPem(other.Key.get()),
       "The TLS key k.pem does not belong to the certificate c.pem."},
  };
  for (const Case& k : cases) {
    std::string error;
    try {
      TIdSSLServerContext context(k.certificate, "c.pem", k.key, "k.pem");
      EXPECT_EQ(Sha256Fingerprint(context.Certificate()), Sha256Fingerprint(issued.Cert.get()));
    } catch (const EIdCertificateError& e) {
      error = e.Message().substr(0, k.error.size());
    }
    EXPECT_EQ(error, k.error) << k.name;
  }
  const std::string fingerprint = Sha256Fingerprint(issued.Cert.get());
  EXPECT_EQ(fingerprint.size(), 32u * 3 - 1);
  EXPECT_EQ(fingerprint.find_first_not_of("0123456789ABCDEF:"), std::string::npos);
  EXPECT_NE(fingerprint, Sha256Fingerprint(other.Cert.get()));
}

TEST(TIdSSLServerContextTest, DatesAreCheckedAgainstNow) {
  EXPECT_NO_THROW(CheckValidNow(MakeCertificate({}).Cert.get(), "c.pem"));
  const TIdCertificate expired = MakeCertificate({"localhost", "", -30, -1});
  const TIdCertificate future = MakeCertificate({"localhost", "", 2, 30});
  for (const TIdCertificate* certificate : {&expired, &future}) {
    try {
      CheckValidNow(certificate->Cert.get(), "c.pem");
      ADD_FAILURE() << "no error";
    } catch (const EIdCertificateError& e) {
      EXPECT_TRUE(e.Message().starts_with(certificate == &expired
                                              ? "The TLS certificate c.pem expired on 20"
                                              : "The TLS certificate c.pem is not valid "
                                                "before 20"))
          << e.Message();
    }
  }
}

}  // namespace
}  // namespace quillbox

#include "net/IdSSLOpenSSL.h"

#include "net/IdSSLGlue.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <mutex>

namespace quillbox {

namespace {

using Clock = std::chrono::steady_clock;

// How much one receive below may fetch: the plain line connection's receive size.
constexpr size_t kReadAheadBytes = 32768;

// What is left of a wait of timeoutMs that ends at deadline; -1 (no limit) for a negative one.
int TimeLeft(Clock::time_point deadline, int timeoutMs) {
  if (timeoutMs < 0)
    return -1;
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The reason text of the newest OpenSSL error of this thread, "" when there is none.
std::string LastErrorReason() {
  const unsigned long error = ERR_peek_last_error();
  const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
  return reason != nullptr ? reason : "";
}

bool IsAddressText(const std::string& host) {
  unsigned char address[16];
  return inet_pton(AF_INET, host.c_str(), address) == 1 ||
         inet_pton(AF_INET6, host.c_str(), address) == 1;
}

EIdTLSError::TReason CertificateReason(long verifyResult) {
  switch (verifyResult) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return EIdTLSError::trCertificateUntrusted;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return EIdTLSError::trCertificateExpired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return EIdTLSError::trCertificateName;
    default:
      return EIdTLSError::trCertificateOther;
  }
}

// A socket error's text holds a line break; in the middle of a sentence it becomes a blank.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n')
      c = ' ';
  }
  std::string line;
  for (char c : text) {
    if (!(c == ' ' && !line.empty() && line.back() == ' '))
      line.push_back(c);
  }
  return line;
}

}  // namespace

void TIdSSLSocket::SessionDeleter::operator()(ssl_st* ssl) const {
  SSL_free(ssl);
}

TIdSSLSocket::TIdSSLSocket(std::unique_ptr<TIdSocket> inner) : inner_(std::move(inner)) {}

TIdSSLSocket::~TIdSSLSocket() = default;

std::string TIdSSLSocket::ServerName() const {
  return host_ + ":" + std::to_string(inner_->PeerPort());
}

void TIdSSLSocket::Handshake(const TIdSSLOptions& options, int timeoutMs) {
  host_ = options.Host;
  ERR_clear_error();
  context_.reset(SSL_CTX_new(TLS_client_method()));
  if (!context_)
    throw EIdTLSError(EIdTLSError::trHandshake, "TLS could not be set up: " + LastErrorReason());
  SSL_CTX* ctx = context_.get();
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_default_verify_paths(ctx);
  if (!options.CAFile.empty() &&
      SSL_CTX_load_verify_locations(ctx, options.CAFile.c_str(), nullptr) != 1) {
    throw EIdTLSError(EIdTLSError::trCAFile, "The CA file \"" + options.CAFile +
                                                 "\" could not be read as PEM certificates (" +
                                                 LastErrorReason() + ").");
  }
  Attach(ctx);
  SSL* ssl = ssl_.get();
  SSL_set_connect_state(ssl);

  const bool address = IsAddressText(host_);
  if (!address && !host_.empty())
    SSL_set_tlsext_host_name(ssl, host_.c_str());
  if (options.VerifyCertificate) {
    // Without a name to match, any trusted certificate would pass for any server.
    if (host_.empty())
      throw EIdTLSError(EIdTLSError::trHandshake, "TLS needs the server's host name to verify.");
    SSL_set_verify(ssl, SSL_VERIFY_PEER, nullptr);
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    if (address)
      X509_VERIFY_PARAM_set1_ip_asc(param, host_.c_str());
    else
      X509_VERIFY_PARAM_set1_host(param, host_.c_str(), 0);
  }
  verified_ = options.VerifyCertificate;
  RunHandshake(timeoutMs);
}

void TIdSSLSocket::Accept(const TIdSSLServerContext& context, int timeoutMs) {
  server_ = true;
  host_ = inner_->PeerIP();
  Attach(context.Handle());
  SSL_set_accept_state(ssl_.get());
  RunHandshake(timeoutMs);
}

void TIdSSLSocket::Attach(ssl_ctx_st* context) {
  ssl_.reset(SSL_new(context));
  if (!ssl_)
    throw EIdTLSError(EIdTLSError::trHandshake, "TLS could not be set up: " + LastErrorReason());
  SSL* ssl = ssl_.get();
  // Reading ahead lets one receive below fetch several records.
  SSL_set_read_ahead(ssl, 1);
  SSL_set_default_read_buffer_len(ssl, kReadAheadBytes);
  BIO* bio = BIO_new(SocketBioMethod());
  BIO_set_data(bio, this);
  SSL_set_bio(ssl, bio, bio);
}

void TIdSSLSocket::RunHandshake(int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_do_handshake(ssl_.get());
    if (rc == 1) {
      handshakeDone_ = true;
      return;
    }
    if (ErrorOf(rc) != SSL_ERROR_WANT_READ)
      RaiseHandshakeFailure();
    const int wait = TimeLeft(deadline, timeoutMs);
    bool ready;
    try {
      ready = inner_->WaitReadable(wait);
    } catch (...) {
      failure_ = std::current_exception();
      RaiseHandshakeFailure();
    }
    if (!ready) {
      throw EIdTLSError(EIdTLSError::trTimeout,
                        "TLS handshake with " + ServerName() + " failed: no answer within " +
                            std::to_string((timeoutMs + 999) / 1000) + " seconds.");
    }
  }
}

void TIdSSLSocket::RaiseHandshakeFailure() {
  if (failure_) {
    // An Abort from another thread is no fault of the server: it keeps its own error.
    if (!inner_->IsOpen())
      throw EIdClosedSocket();
    try {
      std::rethrow_exception(failure_);
    } catch (const Exception& e) {
      throw EIdTLSError(EIdTLSError::trConnection,
                        "TLS handshake with " + ServerName() + " failed: " + OneLine(e.Message()));
    }
  }
  // Without verification OpenSSL still records what it found; it did not end the handshake.
  const long verifyResult = SSL_get_verify_result(ssl_.get());
  if (verified_ && verifyResult != X509_V_OK) {
    throw EIdTLSError(CertificateReason(verifyResult),
                      "The certificate of " + ServerName() +
                          " did not verify: " + X509_verify_cert_error_string(verifyResult) + ".");
  }
  if (belowEnded_) {
    throw EIdTLSError(EIdTLSError::trConnection,
                      "TLS handshake with " + ServerName() + " failed: the " +
                          (server_ ? "client" : "server") + " closed the connection.");
  }
  const unsigned long error = ERR_peek_last_error();
  const int reason = ERR_GET_REASON(error);
  const bool notTLS =
      ERR_GET_LIB(error) == ERR_LIB_SSL &&
      (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
       reason == SSL_R_RECORD_LENGTH_MISMATCH);
  const std::string text = LastErrorReason();
  throw EIdTLSError(notTLS ? EIdTLSError::trNotTLS : EIdTLSError::trHandshake,
                    "TLS handshake with " + ServerName() +
                        " failed: " + (text.empty() ? std::string("unknown error") : text) + ".");
}

void TIdSSLSocket::RaiseFailure() {
  if (failure_)
    std::rethrow_exception(failure_);
  const std::string text = LastErrorReason();
  throw EIdTLSError(EIdTLSError::trProtocol,
                    "TLS error on the connection to " + ServerName() + ": " +
                        (text.empty() ? std::string("unknown error") : text) + ".");
}

std::string TIdSSLSocket::Protocol() const {
  return ssl_ ? SSL_get_version(ssl_.get()) : "";
}

std::string TIdSSLSocket::Cipher() const {
  const SSL_CIPHER* cipher = ssl_ ? SSL_get_current_cipher(ssl_.get()) : nullptr;
  return cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "";
}

TIdSSLSocket::Step TIdSSLSocket::Peek() {
  char byte;
  size_t got = 0;
  ERR_clear_error();
  const int rc = SSL_peek_ex(ssl_.get(), &byte, 1, &got);
  if (rc == 1)
    return Step::kData;
  switch (ErrorOf(rc)) {
    case SSL_ERROR_WANT_READ:
      return Step::kWantRead;
    case SSL_ERROR_ZERO_RETURN:
      return Step::kEnd;
    default:
      return Step::kFailed;
  }
}

bool TIdSSLSocket::WaitReadable(int timeoutMs) {
  if (!handshakeDone_)
    return inner_->WaitReadable(timeoutMs);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    // Readable below is not readable here: the bytes may be half a record, or a record with
    // no application data (TLS 1.3 sends session tickets after the handshake). Only decrypted
    // data, the end of the stream or an error make a Receive that will not block.
    if (Peek() != Step::kWantRead)
      return true;
    const int wait = TimeLeft(deadline, timeoutMs);
    if (!inner_->WaitReadable(wait))
      return false;
  }
}

size_t TIdSSLSocket::Receive(char* data, size_t size) {
  if (!handshakeDone_)
    throw EIdNotConnected();
  for (;;) {
    size_t got = 0;
    ERR_clear_error();
    const int rc = SSL_read_ex(ssl_.get(), data, size, &got);
    if (rc == 1)
      return got + ReceiveMore(data + got, size - got);
    switch (ErrorOf(rc)) {
      case SSL_ERROR_WANT_READ:
        inner_->WaitReadable(-1);
        break;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      default:
        RaiseFailure();
    }
  }
}

size_t TIdSSLSocket::ReceiveMore(char* data, size_t size) {
  // One SSL_read gives at most one record (16 KB); the records that are already here fill the
  // rest of the caller's buffer, so large answers cost half the passes through the line reader.
  size_t total = 0;
  while (total < size && SSL_has_pending(ssl_.get()) == 1) {
    size_t got = 0;
    ERR_clear_error();
    if (SSL_read_ex(ssl_.get(), data + total, size - total, &got) != 1)
      break;  // half a record, or a fault the next Receive reports
    total += got;
  }
  return total;
}

size_t TIdSSLSocket::Send(const char* data, size_t size) {
  if (!handshakeDone_)
    throw EIdNotConnected();
  size_t sent = 0;
  ERR_clear_error();
  // A record holds at most 16 KB: sent one by one, a large answer would cost a system call
  // and a wake-up of the reader per record.
  collected_.clear();
  collecting_ = true;
  const int rc = SSL_write_ex(ssl_.get(), data, size, &sent);
  collecting_ = false;
  if (rc == 1) {
    for (size_t done = 0; done < collected_.size();) {
      // OpenSSL counts the records as sent: one that goes out in part leaves the stream cut.
      broken_ = true;
      const size_t n = inner_->Send(collected_.data() + done, collected_.size() - done);
      if (n == 0)
        return 0;  // the socket below took nothing without an error: as a plain send says it
      done += n;
      broken_ = false;
    }
    return sent;
  }
  // The socket below took nothing without an error: the same report as a plain send's.
  if (ErrorOf(rc) == SSL_ERROR_SYSCALL && !failure_ && ERR_peek_error() == 0)
    return 0;
  RaiseFailure();
}

int TIdSSLSocket::ErrorOf(int rc) {
  const int error = SSL_get_error(ssl_.get(), rc);
  if (error == SSL_ERROR_SSL || error == SSL_ERROR_SYSCALL)
    broken_ = true;
  return error;
}

void TIdSSLSocket::NotifyEnd() {
  if (!handshakeDone_ || broken_ || failure_ || SSL_in_init(ssl_.get()) || !inner_->IsOpen())
    return;
  // The alert is collected like application data, so that it goes below without a wait: the
  // first SSL_shutdown only sends, and the peer's close_notify is never waited for.
  collected_.clear();
  collecting_ = true;
  ERR_clear_error();
  const int rc = SSL_shutdown(ssl_.get());
  collecting_ = false;
  ERR_clear_error();
  if (rc < 0 || collected_.empty())
    return;
  try {
    inner_->SendNoWait(collected_.data(), collected_.size());
  } catch (const Exception&) {
    // The peer is gone: nobody is left to tell.
  }
}

void TIdSSLSocket::Close() {
  inner_->Close();
}

bool TIdSSLSocket::IsOpen() const {
  return inner_->IsOpen();
}

bool TIdSSLSocket::HungUp() {
  return inner_->HungUp();
}

std::string TIdSSLSocket::PeerIP() const {
  return inner_->PeerIP();
}

int TIdSSLSocket::PeerPort() const {
  return inner_->PeerPort();
}

TIdSSLSocket& InterposeTLS(TIdIOHandlerStack& io) {
  TIdSSLSocket* tls = nullptr;
  io.InterposeSocket([&tls](std::unique_ptr<TIdSocket> below) {
    auto layer = std::make_unique<TIdSSLSocket>(std::move(below));
    tls = layer.get();
    return layer;
  });
  return *tls;
}

}  // namespace quillbox

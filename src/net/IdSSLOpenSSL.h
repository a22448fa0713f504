#pragma once

#include <exception>
#include <memory>
#include <string>

#include "net/IdException.h"
#include "net/IdIOHandler.h"
#include "net/IdSSLCertificate.h"
#include "net/IdSocketHandle.h"

struct ssl_st;

namespace quillbox {

// What a TLS client demands of the server it talks to.
struct TIdSSLOptions {
  // The name the server's certificate must carry, or the IP address it must carry when this is
  // an address text. Also sent as the server name (SNI) when it is a name. It goes into error
  // messages together with the peer's port, so the user sees which server failed.
  std::string Host;
  // Off: any certificate is taken (the connection is still encrypted, but not authenticated).
  bool VerifyCertificate = true;
  // A PEM file of further trusted certificates besides the system's store; "" for none.
  std::string CAFile;
};

// A failed handshake, a certificate that did not verify, or a TLS protocol fault on an open
// connection. The message names the peer (the server, or the client on the server side) as
// host:port and says why, so it can go to the user as it stands.
class EIdTLSError : public EIdException {
 public:
  // What went wrong, so that a caller can add advice of its own.
  enum TReason {
    trHandshake,             // any other handshake failure
    trNotTLS,                // the peer answered something that is not TLS
    trTimeout,               // the peer did not answer in time
    trConnection,            // the connection broke during the handshake
    trCAFile,                // the extra trusted certificates could not be read
    trCertificateUntrusted,  // self-signed, or no trusted authority issued it
    trCertificateExpired,    // expired or not yet valid
    trCertificateName,       // issued for another host name or address
    trCertificateOther,      // revoked, malformed, unsuitable, ...
    trProtocol,              // a TLS fault after the handshake
  };
  EIdTLSError(TReason reason, std::string message)
      : EIdException(std::move(message)), reason_(reason) {}
  TReason Reason() const noexcept { return reason_; }

 private:
  TReason reason_;
};

// TLS (1.2 or newer, the system's cipher policy) over another socket, either side. The line
// connection reads and writes it like any socket, so every line operation, limit and error of a
// plain connection stays as it is: errors of the socket below (closed, reset) come out of
// Receive and Send unchanged.
//
// Thread-safety: as TIdSocket. Handshake, WaitReadable, Receive and Send are used by one thread at
// a time; Close and IsOpen may come from any thread: Close closes the socket below, which wakes a
// thread blocked in any of the others.
class TIdSSLSocket : public TIdSocket {
 public:
  // Takes the connected socket below; nothing is sent until Handshake.
  explicit TIdSSLSocket(std::unique_ptr<TIdSocket> inner);
  ~TIdSSLSocket() override;
  TIdSSLSocket(const TIdSSLSocket&) = delete;
  TIdSSLSocket& operator=(const TIdSSLSocket&) = delete;

  // Runs the client handshake and checks the certificate. Each wait for the server lasts at
  // most timeoutMs (negative: no limit). Raises EIdTLSError, or EIdClosedSocket after Close.
  void Handshake(const TIdSSLOptions& options, int timeoutMs);

  // Runs the server handshake with the context's certificate. The whole handshake lasts at most
  // timeoutMs. Raises EIdTLSError naming the client, or EIdClosedSocket after Close.
  void Accept(const TIdSSLServerContext& context, int timeoutMs);

  // After the handshake: "TLSv1.3", the cipher's name, and whether the peer's certificate was
  // checked (never on the server side).
  std::string Protocol() const;
  std::string Cipher() const;
  bool Verified() const { return verified_; }

  bool WaitReadable(int timeoutMs) override;
  size_t Receive(char* data, size_t size) override;
  size_t Send(const char* data, size_t size) override;
  // Sends close_notify, so that a strict peer sees an end and not a cut, unless the connection
  // failed: OpenSSL forbids it after a fatal error, and after a cut record it would be garbage.
  void NotifyEnd() override;
  void Close() override;
  bool IsOpen() const override;
  bool HungUp() override;
  std::string PeerIP() const override;
  int PeerPort() const override;

 private:
  friend struct TIdSSLGlue;  // OpenSSL's way to the socket below

  struct SessionDeleter {
    void operator()(ssl_st* ssl) const;
  };

  // Result of one step of the TLS engine that must not block.
  enum class Step { kData, kWantRead, kEnd, kFailed };
  Step Peek();
  // SSL_get_error of a call that returned rc; notes the errors after which nothing more may be
  // sent.
  int ErrorOf(int rc);
  size_t ReceiveMore(char* data, size_t size);
  // A new TLS session of the context over the socket below.
  void Attach(ssl_ctx_st* context);
  void RunHandshake(int timeoutMs);
  [[noreturn]] void RaiseHandshakeFailure();
  // Raises what broke an open connection: the socket's own error as it stands, else a TLS fault.
  [[noreturn]] void RaiseFailure();
  std::string ServerName() const;

  std::unique_ptr<TIdSocket> inner_;
  std::unique_ptr<ssl_ctx_st, TIdSSLContextDeleter> context_;  // a client's own
  std::unique_ptr<ssl_st, SessionDeleter> ssl_;
  // The first error the socket below raised inside OpenSSL; it is raised again to the caller
  // because it cannot pass through OpenSSL's C frames.
  std::exception_ptr failure_;
  std::string host_;  // the server's name, or the client's address on the server side
  bool server_ = false;
  bool belowEnded_ = false;
  // While Send encrypts: the records, passed on below in one after SSL_write.
  bool collecting_ = false;
  std::string collected_;  // the socket below reported the end of the stream
  bool verified_ = false;
  bool handshakeDone_ = false;
  bool broken_ = false;  // a fatal TLS error, or a record that went out only in part
};

// Puts a TLS socket between the line connection and its socket, by InterposeSocket's rules, and
// returns it (owned by the line connection) before its handshake: a Close from another thread
// reaches it from now on.
TIdSSLSocket& InterposeTLS(TIdIOHandlerStack& io);

}  // namespace quillbox

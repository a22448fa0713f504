#pragma once

#include <string>

#include "base/Exception.h"

namespace quillbox {

// Errors of the networking layer. All carry their text as the message the client may see after
// "-ERR", so the texts below are part of the wire protocol and must not be reworded.
class EIdException : public Exception {
 public:
  using Exception::Exception;
};

class EIdConnClosedGracefully : public EIdException {
 public:
  EIdConnClosedGracefully() : EIdException("Connection Closed Gracefully.") {}
};
class EIdReadLnMaxLineLengthExceeded : public EIdException {
 public:
  EIdReadLnMaxLineLengthExceeded() : EIdException("Max line length exceeded.") {}
};
class EIdReadTimeout : public EIdException {
 public:
  EIdReadTimeout() : EIdException("Read timed out.") {}
};
class EIdNotConnected : public EIdException {
 public:
  EIdNotConnected() : EIdException("Not Connected") {}
};
class EIdClosedSocket : public EIdException {
 public:
  EIdClosedSocket() : EIdException("Disconnected.") {}
};
class EIdCouldNotBindSocket : public EIdException {
 public:
  EIdCouldNotBindSocket()
      : EIdException("Could not bind socket. Address and port are already in use.") {}
};
class EIdAlreadyConnected : public EIdException {
 public:
  EIdAlreadyConnected() : EIdException("Already connected.") {}
};
class EIdHostRequired : public EIdException {
 public:
  EIdHostRequired() : EIdException("") {}
};
class EIdPortRequired : public EIdException {
 public:
  EIdPortRequired() : EIdException("") {}
};
class EIdBufferNotEmpty : public EIdException {
 public:
  EIdBufferNotEmpty() : EIdException("Data arrived before the connection could switch to TLS.") {}
};
class EIdConnectTimeout : public EIdException {
 public:
  EIdConnectTimeout() : EIdException("Connect timed out.") {}
};
// A wait on one connection ended because the peer of the connection it serves (the mail client
// of an upstream connection) has gone: nobody is left to take the answer.
class EIdWatchedPeerGone : public EIdException {
 public:
  EIdWatchedPeerGone() : EIdException("The client has closed the connection.") {}
};

// A socket error n: "Socket Error # n\r\n<text>", with the text of the Winsock number table
// (empty for numbers the table does not know).
class EIdSocketError : public EIdException {
 public:
  explicit EIdSocketError(int lastError);
  int LastError() const noexcept { return lastError_; }

 private:
  int lastError_;
};

class EIdNotASocket : public EIdSocketError {
 public:
  EIdNotASocket() : EIdSocketError(10038) {}
};

// The Winsock text of error number n, or "" for an unknown number.
std::string SocketErrorText(int n);

// Maps an errno value onto the Winsock number the messages use; an unmapped errno keeps its own
// number (and so gets an empty text).
int WinsockErrorFromErrno(int err);

// Winsock's numbers for "the name service does not know this host" and "the name service did not
// answer; try again".
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;

// Raises the socket error for errno (EIdNotASocket for ENOTSOCK).
[[noreturn]] void RaiseSocketError(int err);

}  // namespace quillbox

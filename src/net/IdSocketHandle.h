#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "base/Mutex.h"

namespace quillbox {

enum TIdIPVersion { Id_IPv4, Id_IPv6 };

// Whether a socket asks for address reuse before binding. On this system rsOSDependent asks for
// it: a restarted listener must not fail on the port's connections left in TIME_WAIT, and two
// listeners still cannot share a port.
enum TIdReuseSocket { rsOSDependent, rsTrue, rsFalse };

// A connected byte stream: what a line connection reads from and writes to. Kept behind an
// interface so that tests and fuzzers can play a peer byte by byte (FakeSocket.h).
// WaitReadable, Receive and Send are called by one thread at a time; Close and IsOpen are safe
// from any thread, and Close wakes a thread blocked in WaitReadable or Receive.
class TIdSocket {
 public:
  virtual ~TIdSocket() = default;

  // Waits until a receive would not block (bytes, end of stream, error or Close), at most
  // timeoutMs; a negative timeout waits without limit, 0 only polls. False when the time is up.
  virtual bool WaitReadable(int timeoutMs) = 0;

  // Receives up to size bytes; 0 means the peer has closed its side. Raises the socket error
  // (EIdSocketError), or EIdClosedSocket once Close has been called.
  virtual size_t Receive(char* data, size_t size) = 0;

  // Sends up to size bytes and returns how many went out (possibly fewer). Raises like Receive.
  virtual size_t Send(const char* data, size_t size) = 0;
  // Sends what fits at once and returns how many bytes that was, 0 when there is no room; never
  // waits. Raises like Send. A socket whose sends never wait keeps this.
  virtual size_t SendNoWait(const char* data, size_t size) { return Send(data, size); }

  // Tells the peer that nothing more comes, where the protocol has a word for it (TLS:
  // close_notify); closing stays Close's job. Waits neither for the peer's answer nor for room
  // to send, so a peer that reads nothing may miss it; never raises.
  virtual void NotifyEnd() {}

  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;

  // Whether the peer has closed or reset the connection (or Close was called), without waiting
  // and without consuming anything. Bytes it sent before closing may still be unread. Called by
  // the thread that uses the socket.
  virtual bool HungUp() = 0;

  virtual std::string PeerIP() const = 0;
  virtual int PeerPort() const = 0;
};

// A POSIX socket. Thread-safe in the sense of TIdSocket. The descriptor is closed only when no
// operation is using it any more: a Close from another thread first shuts the socket down (which
// wakes poll and recv), and the last operation to leave releases the descriptor, so a number the
// system hands out again can never be read or written by mistake.
class TIdPosixSocket : public TIdSocket {
 public:
  // A new stream socket of the family (AF_INET or AF_INET6). Raises the socket error.
  static std::unique_ptr<TIdPosixSocket> Create(TIdIPVersion version);

  // Takes ownership of a connected or listening descriptor.
  explicit TIdPosixSocket(int fd);
  ~TIdPosixSocket() override;
  TIdPosixSocket(const TIdPosixSocket&) = delete;
  TIdPosixSocket& operator=(const TIdPosixSocket&) = delete;

  bool WaitReadable(int timeoutMs) override;
  size_t Receive(char* data, size_t size) override;
  size_t Send(const char* data, size_t size) override;
  size_t SendNoWait(const char* data, size_t size) override;
  void Close() override;
  bool IsOpen() const override;
  bool HungUp() override;
  std::string PeerIP() const override;
  int PeerPort() const override;

  void SetReuseAddress();
  void SetV6Only();
  void SetNoDelay(bool on);
  // TCP keep-alive: the first probe after idleSeconds without traffic, then every
  // intervalSeconds; count unanswered probes end the connection (the next read or write fails).
  void SetKeepAlive(int idleSeconds, int intervalSeconds, int count);
  // A send that can move no byte for timeoutMs fails (with 10035, "Operation would block.").
  void SetSendTimeout(int timeoutMs);

  // Binds to an address text ("" is any address) and port (0: the system picks). Raises the
  // socket error.
  void Bind(const std::string& ip, int port);
  void Listen(int backlog);
  // The local port after Bind (useful when the system picked it).
  int LocalPort() const;

  // Waits up to timeoutMs for a pending connection; nullptr when none came in time or the
  // socket was closed meanwhile.
  std::unique_ptr<TIdPosixSocket> Accept(int timeoutMs);

  // Connects to an address text and port. timeoutMs <= 0 means no limit of our own (the system's
  // connect timeout still applies); when a positive limit passes, raises EIdConnectTimeout.
  // A Close from another thread ends the wait with EIdClosedSocket. While it waits, the socket
  // `watched` (when given) is looked at every 125 ms: EIdWatchedPeerGone once its peer hung up.
  void Connect(const std::string& ip, int port, int timeoutMs, TIdSocket* watched = nullptr);

 private:
  class Lease;

  TIdIPVersion version_ = Id_IPv4;
  // A Lease on a const socket still counts.
  mutable TMutex lock_;
  mutable int fd_ GUARDED_BY(lock_);
  bool closed_ GUARDED_BY(lock_) = false;
  mutable int users_ GUARDED_BY(lock_) = 0;
  std::string peerIP_ GUARDED_BY(lock_);
  int peerPort_ GUARDED_BY(lock_) = 0;
};

// One listening binding of a server: address ("" for any), port, IP version, and whether its
// clients speak TLS from the first byte. After activation Port holds the port actually bound,
// so a binding made with port 0 tells the caller where it listens.
struct TIdSocketHandle {
  std::string IP;
  int Port = 0;
  TIdIPVersion IPVersion = Id_IPv4;
  bool ImplicitTLS = false;
  // A listening socket made elsewhere (handed over by a service manager), served instead of
  // binding IP and Port. The listener takes it over at activation and sets -1 here; at
  // deactivation it closes it without shutting it down, so that a copy the service manager holds
  // goes on listening. A later activation binds IP and Port itself.
  int Descriptor = -1;
};

}  // namespace quillbox

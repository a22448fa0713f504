#pragma once

#include <string>

#include "net/IdStack.h"
#include "net/IdTCPConnection.h"

namespace quillbox {

// An outgoing TCP connection with its line connection. Used by one thread; Abort() may come
// from any other thread and wakes that thread in Connect or in a read.
class TIdTCPClient : public TIdTCPConnection {
 public:
  explicit TIdTCPClient(TIdStack& stack = GStack());
  // Closes the connection without sending anything.
  ~TIdTCPClient() override;

  // Raises EIdAlreadyConnected, EIdHostRequired, EIdPortRequired (both with empty messages),
  // EIdCouldNotBindSocket, socket errors (lookup, connect), EIdConnectTimeout,
  // EIdWatchedPeerGone; after Abort, EIdClosedSocket. On failure the client is left without a
  // line connection.
  void Connect();
  // Connected() of the line connection; false before Connect.
  bool IsConnected() { return Connected(); }
  void Disconnect() override;

  // Closes the connection and refuses any later Connect, so that a thread that is about to
  // connect cannot slip past a shutdown. Thread-safe.
  void Abort();

  std::string BoundIP;
  int BoundPort = 0;
  int ConnectTimeout = 0;  // 0 or -1: no limit of our own
  std::string Host;
  // Over IPv6, Host must be a numeric address: the name service is asked for IPv4 ones only.
  TIdIPVersion IPVersion = Id_IPv4;
  int Port = 0;
  int ReadTimeout = -1;
  TIdReuseSocket ReuseSocket = rsOSDependent;
  bool UseNagle = true;
  // TCP keep-alive, so that a server that vanished (a NAT that forgot the connection, a
  // suspended machine) is noticed after about kKeepAliveIdleSeconds + kKeepAliveProbes x
  // kKeepAliveIntervalSeconds of silence instead of never.
  bool KeepAlive = false;
  static constexpr int kKeepAliveIdleSeconds = 60;
  static constexpr int kKeepAliveIntervalSeconds = 10;
  static constexpr int kKeepAliveProbes = 3;
  // The connection this one serves, watched by Connect and by every read (see
  // TIdIOHandlerStack::WatchPeerOf); nullptr: none.
  TIdIOHandlerStack* Served = nullptr;

 private:
  TIdStack& stack_;
  bool aborted_ GUARDED_BY(IOHandlerLock()) = false;
};

}  // namespace quillbox

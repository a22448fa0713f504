#include "net/IdTCPClient.h"

#include "net/IdException.h"

namespace quillbox {

TIdTCPClient::TIdTCPClient(TIdStack& stack) : stack_(stack) {}

TIdTCPClient::~TIdTCPClient() {
  Disconnect();
}

void TIdTCPClient::Connect() {
  if (IsConnected())
    throw EIdAlreadyConnected();
  if (Host.empty())
    throw EIdHostRequired();
  if (Port == 0)
    throw EIdPortRequired();

  auto io = std::make_unique<TIdIOHandlerStack>();
  io->Host = Host;
  io->Port = Port;
  io->ReadTimeout = ReadTimeout;
  io->WatchPeerOf(Served);
  try {
    auto socket = TIdPosixSocket::Create(IPVersion);
    TIdPosixSocket& raw = *socket;
    if (ReuseSocket == rsTrue)
      raw.SetReuseAddress();
    if (!BoundIP.empty() || BoundPort != 0) {
      try {
        raw.Bind(BoundIP, BoundPort);
      } catch (const EIdSocketError&) {
        throw EIdCouldNotBindSocket();
      }
    }
    raw.SetNoDelay(!UseNagle);
    if (KeepAlive)
      raw.SetKeepAlive(kKeepAliveIdleSeconds, kKeepAliveIntervalSeconds, kKeepAliveProbes);
    io->Open(std::move(socket));
    SetIOHandler(std::move(io));
    {
      // An Abort that came before the socket was reachable must not be lost; one that comes
      // after this check finds the socket and closes it.
      TMutexLock guard(IOHandlerLock());
      if (aborted_)
        throw EIdClosedSocket();
    }
    const std::string address = IPVersion == Id_IPv6 ? Host : ResolveIPv4(stack_, Host);
    raw.Connect(address, Port, ConnectTimeout, Served != nullptr ? Served->Socket() : nullptr);
  } catch (...) {
    SetIOHandler(nullptr);
    throw;
  }
}

void TIdTCPClient::Disconnect() {
  TIdTCPConnection::Disconnect();
}

void TIdTCPClient::Abort() {
  {
    TMutexLock guard(IOHandlerLock());
    aborted_ = true;
  }
  TIdTCPConnection::Disconnect();
}

}  // namespace quillbox

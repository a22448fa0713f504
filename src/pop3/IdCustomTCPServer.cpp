#include "pop3/IdCustomTCPServer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "net/IdException.h"

namespace quillbox {

namespace {

// How often a listener thread looks whether it has been told to stop.
constexpr int kAcceptPollMs = 250;
// Pause after a failed accept (for example no descriptors left), so the loop does not spin.
constexpr auto kAcceptErrorPause = std::chrono::milliseconds(50);
// How often a pair of port-0 bindings is tried on a new port when the port the system picked
// for one family is taken in the other.
constexpr int kPortPairTries = 8;

bool IPv6Available() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  ::close(fd);
  return true;
}

}  // namespace

TIdContext::TIdContext(std::unique_ptr<TIdTCPConnection> connection)
    : connection_(std::move(connection)) {}

TIdContext::~TIdContext() = default;

void TIdContext::Abort() {
  connection_->Disconnect();
}

void TIdContext::ReleaseSlot() {
  if (releaseSlot_)
    releaseSlot_();
}

struct TIdCustomTCPServer::Listener {
  std::unique_ptr<TIdPosixSocket> socket;
  bool implicitTLS = false;
  // Handed over: its owner listens on after we have gone, so it is only closed, never shut down.
  bool handed = false;
  std::atomic<bool> stop{false};
  std::thread thread;
};

// One accepted connection and its thread. The thread owns the context until it lets go of it,
// under contextsLock_; a shutdown takes a share of it there, to abort it outside the lock.
struct TIdCustomTCPServer::ConnectionThread {
  std::shared_ptr<TIdContext> context;  // shared only with a shutdown that aborts it
  std::thread thread;
  TConnectionSlots::TSlot slot;  // used by the connection's thread
  bool finished = false;
};

TIdCustomTCPServer::TIdCustomTCPServer() {
  SetContextClass<TIdContext>();
}

TIdCustomTCPServer::~TIdCustomTCPServer() {
  SetActive(false);
}

size_t TIdCustomTCPServer::ContextCount() const {
  TMutexLock guard(contextsLock_);
  return contexts_.size();
}

void TIdCustomTCPServer::SetActive(bool value) {
  if (value == active_)
    return;
  if (!value) {
    active_ = false;
    StopListening();
    StopConnections();
    return;
  }
  InitializeCommandHandlers();
  if (bindings_.empty()) {
    const bool v6 = IPv6Available();
    for (const bool tls : {false, true}) {
      const int port = tls ? DefaultTLSPort : DefaultPort;
      if (tls && port <= 0)
        continue;
      bindings_.push_back({"", port, Id_IPv4, tls});
      if (v6)
        bindings_.push_back({"", port, Id_IPv6, tls});
    }
  }
  for (const auto& binding : bindings_) {
    if (binding.ImplicitTLS && !TLSContext)
      throw EIdException("A TLS port needs a certificate.");
  }
  StartListening();
  active_ = true;
}

void TIdCustomTCPServer::StartListening() {
  // Every binding is bound and listening before any thread starts, so a failure leaves nothing
  // behind: the sockets made so far close with the vector.
  std::vector<std::unique_ptr<TIdPosixSocket>> sockets;
  try {
    for (int attempt = 1; !BindAll(sockets); ++attempt) {
      if (attempt == kPortPairTries)
        throw EIdCouldNotBindSocket();
    }
  } catch (const Exception&) {
    throw EIdCouldNotBindSocket();
  }
  for (size_t i = 0; i < sockets.size(); ++i) {
    auto listener = std::make_unique<Listener>();
    if (!sockets[i]) {
      sockets[i] = std::make_unique<TIdPosixSocket>(bindings_[i].Descriptor);
      bindings_[i].Descriptor = -1;
      listener->handed = true;
    }
    bindings_[i].Port = sockets[i]->LocalPort();
    listener->socket = std::move(sockets[i]);
    listener->implicitTLS = bindings_[i].ImplicitTLS;
    Listener& raw = *listener;
    listeners_.push_back(std::move(listener));
    raw.thread = std::thread([this, &raw] { ListenerRun(raw); });
  }
}

bool TIdCustomTCPServer::BindAll(std::vector<std::unique_ptr<TIdPosixSocket>>& sockets) {
  sockets.clear();
  for (size_t i = 0; i < bindings_.size(); ++i) {
    const TIdSocketHandle& binding = bindings_[i];
    // A handed-over socket is taken once all others are bound: a failure here must not close it.
    if (binding.Descriptor >= 0) {
      sockets.emplace_back();
      continue;
    }
    int port = binding.Port;
    const std::optional<size_t> pair = port == 0 ? PortPartner(i) : std::nullopt;
    if (pair)
      port = sockets[*pair]->LocalPort();
    auto socket = TIdPosixSocket::Create(binding.IPVersion);
    if (ReuseSocket != rsFalse)
      socket->SetReuseAddress();
    if (binding.IPVersion == Id_IPv6)
      socket->SetV6Only();
    try {
      socket->Bind(binding.IP, port);
    } catch (const EIdSocketError&) {
      if (pair)
        return false;  // the port picked for the other family is taken in this one
      throw;
    }
    socket->Listen(ListenQueue);
    sockets.push_back(std::move(socket));
  }
  return true;
}

std::optional<size_t> TIdCustomTCPServer::PortPartner(size_t index) const {
  // IPv4 and IPv6 clients of one service on port 0 must find it on the same port.
  const TIdSocketHandle& binding = bindings_[index];
  for (size_t j = 0; j < index; ++j) {
    const TIdSocketHandle& other = bindings_[j];
    if (other.Port == 0 && other.Descriptor < 0 && other.IP == binding.IP &&
        other.ImplicitTLS == binding.ImplicitTLS && other.IPVersion != binding.IPVersion)
      return j;
  }
  return std::nullopt;
}

void TIdCustomTCPServer::StopListening() {
  // A handed-over socket's thread sees the stop at its next poll; the others wake at once.
  for (auto& listener : listeners_) {
    listener->stop = true;
    if (!listener->handed)
      listener->socket->Close();
  }
  for (auto& listener : listeners_) {
    if (listener->thread.joinable())
      listener->thread.join();
  }
  listeners_.clear();
}

void TIdCustomTCPServer::ListenerRun(Listener& listener) {
  while (!listener.stop) {
    ReapFinished();
    try {
      auto socket = listener.socket->Accept(kAcceptPollMs);
      if (socket)
        Accepted(std::move(socket), listener.implicitTLS);
    } catch (const std::exception&) {
      // Errors of one accept concern that client only; the listener goes on.
      if (!listener.stop)
        std::this_thread::sleep_for(kAcceptErrorPause);
    }
  }
}

void TIdCustomTCPServer::Accepted(std::unique_ptr<TIdPosixSocket> socket, bool implicitTLS) {
  // A command's answer leaves as two sends, the reply line and then the response lines. With
  // Nagle's algorithm the response would wait for the client to acknowledge the reply line,
  // which a client delays by up to 40 ms: that would be added to every answer.
  socket->SetNoDelay(true);
  // A client that takes nothing of a long answer must not hold its thread for ever either.
  if (IdleTimeout > 0)
    socket->SetSendTimeout(IdleTimeout);
  auto io = std::make_unique<TIdIOHandlerStack>();
  io->Open(std::move(socket));
  auto connection = std::make_unique<TIdTCPConnection>(std::move(io));
  // A refused stranger must not take the place of the local user's mail client.
  if (!Admitted(*connection, implicitTLS)) {
    connection->Disconnect();
    return;
  }
  std::optional<TConnectionSlots::TSlot> slot = slots_.Take(MaxConnections);
  if (!slot) {
    // A client that speaks TLS from the first byte cannot read a reply in clear, and a handshake
    // would hold up the listener's thread: it is only closed.
    try {
      if (!implicitTLS)
        SendMaxConnectionReply(*connection);
    } catch (const std::exception&) {
      // The refused client may already be gone; there is nobody to tell.
    }
    connection->Disconnect();
    return;
  }
  // A failure from here on gives the place back with the slot.
  auto context = contextFactory_(std::move(connection));
  context->ImplicitTLS = implicitTLS;
  TMutexLock guard(contextsLock_);
  auto& record = connections_.emplace_back();
  record.context = std::move(context);
  record.slot = std::move(*slot);
  record.context->releaseSlot_ = [&record] { record.slot.Release(); };
  try {
    record.thread = std::thread([this, &record] { ConnectionRun(record); });
  } catch (...) {
    connections_.pop_back();
    throw;
  }
}

bool TIdCustomTCPServer::Admitted(TIdTCPConnection& connection, bool implicitTLS) {
  if (!OnAdmit)
    return true;
  try {
    return OnAdmit(connection, implicitTLS);
  } catch (const std::exception&) {
    return false;  // the client went before it could be told anything
  }
}

void TIdCustomTCPServer::ConnectionRun(ConnectionThread& record) {
  TIdContext& context = *record.context;
  std::exception_ptr error;
  bool connected = false;
  try {
    {
      TMutexLock guard(contextsLock_);
      contexts_.push_back(&context);
    }
    // On this thread, not the listener's: a client that stalls its handshake holds up no other.
    if (context.ImplicitTLS)
      StartTLS(context);
    DoConnect(context);
    connected = true;
    while (DoExecute(context)) {
    }
  } catch (...) {
    error = std::current_exception();
  }
  // Whatever ended the session, a client over TLS learns that it ended and was not cut off;
  // after a shutdown or a broken connection nothing is sent.
  context.Connection().DisconnectGracefully();
  if (connected && OnDisconnect) {
    try {
      OnDisconnect(context);
    } catch (...) {
      if (!error)
        error = std::current_exception();
    }
  }
  // Given back first: whoever sees the context gone may connect again at once.
  record.slot.Release();
  {
    TMutexLock guard(contextsLock_);
    contexts_.erase(std::remove(contexts_.begin(), contexts_.end(), &context), contexts_.end());
  }
  if (error && OnException) {
    try {
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        OnException(context, e);
      } catch (...) {
        OnException(context, Exception("Unknown error"));
      }
    } catch (...) {
      // An error of the error report itself has nowhere left to go.
    }
  }
  std::shared_ptr<TIdContext> mine;
  {
    TMutexLock guard(contextsLock_);
    mine = std::move(record.context);
  }
  mine.reset();
  TMutexLock guard(contextsLock_);
  record.finished = true;
}

void TIdCustomTCPServer::ReapFinished() {
  std::list<ConnectionThread> finished;
  {
    TMutexLock guard(contextsLock_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if (it->finished)
        finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (auto& record : finished)
    record.thread.join();
}

void TIdCustomTCPServer::StopConnections() {
  std::list<ConnectionThread> all;
  std::vector<std::shared_ptr<TIdContext>> live;
  {
    TMutexLock guard(contextsLock_);
    for (const auto& record : connections_) {
      if (record.context)
        live.push_back(record.context);
    }
    all.splice(all.end(), connections_);
  }
  // Outside the lock: a derived Abort takes locks of its own. A context whose thread ends
  // meanwhile stays until this is done with it.
  for (const auto& context : live) {
    // The client connection is closed here as well, in case a derived Abort forgets it.
    try {
      context->Connection().Disconnect();
      context->Abort();
    } catch (const std::exception&) {
      // Closing is best effort; the join below still waits for the thread.
    }
  }
  live.clear();
  for (auto& record : all)
    record.thread.join();
}

void TIdCustomTCPServer::StartTLS(TIdContext& context) {
  if (!TLSContext)
    throw EIdTLSError(EIdTLSError::trHandshake, "TLS is not set up.");
  const int timeout =
      TLSHandshakeTimeoutOf ? TLSHandshakeTimeoutOf(context.Connection()) : TLSHandshakeTimeout;
  TIdSSLSocket& tls = InterposeTLS(context.Connection().IOHandler());
  tls.Accept(*TLSContext, timeout);
  context.TLS = &tls;
  if (OnTLSStarted)
    OnTLSStarted(context);
}

void TIdCustomTCPServer::DoConnect(TIdContext& context) {
  if (OnConnect)
    OnConnect(context);
}

bool TIdCustomTCPServer::DoExecute(TIdContext& context) {
  if (!OnExecute)
    return false;
  OnExecute(context);
  return context.Connection().Connected();
}

void TIdCustomTCPServer::SendMaxConnectionReply(TIdTCPConnection&) {}

}  // namespace quillbox

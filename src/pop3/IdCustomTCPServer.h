#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/Mutex.h"
#include "net/IdSSLOpenSSL.h"
#include "net/IdSocketHandle.h"
#include "net/IdTCPConnection.h"
#include "pop3/ConnectionSlots.h"

namespace quillbox {

// One accepted client connection and everything kept about it. Used by the connection's own
// thread; Abort() is called by the listener's shutdown from another thread.
class TIdContext {
 public:
  explicit TIdContext(std::unique_ptr<TIdTCPConnection> connection);
  virtual ~TIdContext();
  TIdContext(const TIdContext&) = delete;
  TIdContext& operator=(const TIdContext&) = delete;

  TIdTCPConnection& Connection() { return *connection_; }

  // Closes everything the connection thread may be blocked on, so that shutdown can end. The
  // base closes the client connection; a derived context closes its own connections as well
  // and calls the base. Must be thread-safe.
  virtual void Abort();

  // Set by the listener: the client came in on a binding that speaks TLS from the first byte.
  bool ImplicitTLS = false;
  // The TLS layer of the client connection once its handshake succeeded, null while the
  // connection is plain. Owned by the connection.
  TIdSSLSocket* TLS = nullptr;

  // Gives the connection's place under the listener's MaxConnections back before the connection
  // has ended: called just before the client is told good-bye, so that it can connect again at
  // once. The listener releases it at the end anyway; a second call does nothing. Called by the
  // connection's thread.
  void ReleaseSlot();

 private:
  friend class TIdCustomTCPServer;

  std::unique_ptr<TIdTCPConnection> connection_;
  std::function<void()> releaseSlot_;  // set by the listener before the thread starts
};

// The listener: listening sockets, one listener thread per binding, one thread per accepted
// connection. Activation and deactivation come from one thread (the owner's); the events run on
// connection threads, concurrently for different connections. Deactivation (and destruction)
// returns only after every connection thread has ended, its OnException call included.
class TIdCustomTCPServer {
 public:
  using ContextFactory =
      std::function<std::unique_ptr<TIdContext>(std::unique_ptr<TIdTCPConnection>)>;

  TIdCustomTCPServer();
  virtual ~TIdCustomTCPServer();
  TIdCustomTCPServer(const TIdCustomTCPServer&) = delete;
  TIdCustomTCPServer& operator=(const TIdCustomTCPServer&) = delete;

  bool Active() const { return active_; }
  // true: listen on every binding (raises EIdCouldNotBindSocket, leaving nothing listening);
  // false: shut down.
  void SetActive(bool value);

  std::vector<TIdSocketHandle>& Bindings() { return bindings_; }
  // Number of contexts in Contexts (those past their before-run step and not yet after-run).
  size_t ContextCount() const EXCLUDES(contextsLock_);

  // The class made for every connection: C derives from TIdContext and is constructible from
  // std::unique_ptr<TIdTCPConnection>.
  template <class C>
  void SetContextClass() {
    contextFactory_ = [](std::unique_ptr<TIdTCPConnection> connection) {
      return std::unique_ptr<TIdContext>(std::make_unique<C>(std::move(connection)));
    };
  }

  int DefaultPort = 0;
  // When greater than 0, the default bindings add this port for clients that speak TLS from
  // the first byte.
  int DefaultTLSPort = 0;
  int MaxConnections = 0;  // 0 or less: no limit
  int ListenQueue = 15;
  TIdReuseSocket ReuseSocket = rsOSDependent;
  int TerminateWaitTime = 5000;
  // Milliseconds a client may neither send a command nor take a byte of an answer before it is
  // disconnected; 0 or less: no limit. Set before activation.
  int IdleTimeout = 0;

  // Runs on the listener thread for every accepted connection before it counts against
  // MaxConnections. False refuses the connection: the hook has told the client why (unless
  // implicitTLS: a client that speaks TLS from the first byte cannot read a line in clear), the
  // listener closes it, and it never takes a place or a thread. Must not block; may be called by
  // several listener threads at once.
  std::function<bool(TIdTCPConnection& connection, bool implicitTLS)> OnAdmit;
  std::function<void(TIdContext&)> OnExecute;  // one pass when no command layer runs
  std::function<void(TIdContext&)> OnConnect;
  std::function<void(TIdContext&)> OnDisconnect;
  std::function<void(TIdContext&, const std::exception&)> OnException;
  // After a TLS handshake with a client succeeded, on its connection thread.
  std::function<void(TIdContext&)> OnTLSStarted;

  // The certificate and key TLS bindings and STLS use; set before activation. Without it a TLS
  // binding cannot be activated and STLS is not offered.
  std::shared_ptr<const TIdSSLServerContext> TLSContext;
  // How long a client's TLS handshake may take in all, in milliseconds, unless
  // TLSHandshakeTimeoutOf chooses for the connection: its owner knows which clients may need
  // longer (a person reading the certificate prompt). The hook runs on the connection's thread
  // before each handshake. Both are set before activation.
  int TLSHandshakeTimeout = 15000;
  std::function<int(TIdTCPConnection& connection)> TLSHandshakeTimeoutOf;

  // Runs TLS on the client connection from now on: the server handshake on the calling
  // (connection) thread, then OnTLSStarted. Unread bytes must have been dealt with. Raises
  // EIdTLSError when the handshake fails.
  void StartTLS(TIdContext& context);

  // One pass of a connection's loop; false when the connection is down. Public so that tests
  // and fuzzers can drive a context without threads.
  virtual bool DoExecute(TIdContext& context);

 protected:
  // Called at every activation; builds the command table the first time.
  virtual void InitializeCommandHandlers() {}
  // Connect phase: OnConnect.
  virtual void DoConnect(TIdContext& context);
  // Writes the reply that refuses a connection over the limit (nothing here).
  virtual void SendMaxConnectionReply(TIdTCPConnection& connection);

 private:
  struct Listener;
  struct ConnectionThread;

  void StartListening();
  // Binds and listens on every binding not handed over (whose places stay empty); false when
  // a port-0 pair must be tried again on another port.
  bool BindAll(std::vector<std::unique_ptr<TIdPosixSocket>>& sockets);
  std::optional<size_t> PortPartner(size_t index) const;
  void StopListening();
  void ListenerRun(Listener& listener);
  void Accepted(std::unique_ptr<TIdPosixSocket> socket, bool implicitTLS);
  bool Admitted(TIdTCPConnection& connection, bool implicitTLS);
  void ConnectionRun(ConnectionThread& record);
  void ReapFinished() EXCLUDES(contextsLock_);
  void StopConnections() EXCLUDES(contextsLock_);

  std::vector<TIdSocketHandle> bindings_;
  ContextFactory contextFactory_;
  bool active_ = false;
  std::vector<std::unique_ptr<Listener>> listeners_;
  // Before connections_, whose records hold its places.
  TConnectionSlots slots_;

  // Guards contexts_ and connections_, and each record's context and finished flag. Nothing
  // else is called under it.
  mutable TMutex contextsLock_;
  std::vector<TIdContext*> contexts_ GUARDED_BY(contextsLock_);
  std::list<ConnectionThread> connections_ GUARDED_BY(contextsLock_);
};

}  // namespace quillbox

#pragma once

#include <string>
#include <vector>

#include "base/Exception.h"
#include "net/IdSocketHandle.h"

namespace quillbox {

// Socket activation: a service manager (a systemd socket unit) binds the ports, starts the
// program and hands the listening sockets over as descriptors 3 and up, described by the
// variables LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES. Whoever starts the program that way
// holds its ports all along, so no other program can take them between binding and serving.

// A handed-over descriptor cannot be served, or the variables contradict each other.
class EHandedSockets : public Exception {
 public:
  using Exception::Exception;
};

// The sockets described by the variables' values (null when unset) for the process self, as
// bindings that serve them, with the descriptors from firstFd up: none when LISTEN_PID names
// another process. A socket named "pop3s" speaks TLS from the first byte, any other plain POP3.
// Every descriptor taken is closed on exec. Raises EHandedSockets for a count that is not a
// number from 0 to 16 and for a descriptor that is not a listening TCP socket.
std::vector<TIdSocketHandle> ListeningSocketsFrom(const char* pid, const char* count,
                                                  const char* names, long self, int firstFd);

// The sockets this process was handed (ListeningSocketsFrom on its environment). The variables
// stay, as the desktop's toolkit has threads of its own that may read the environment; a child
// has another process id, so they never count for it. Call once: the listener takes the sockets.
std::vector<TIdSocketHandle> HandedListeningSockets();

}  // namespace quillbox

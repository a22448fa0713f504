#include "shell/StopSignals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/Exception.h"

namespace quillbox {

TStopSignals::TStopSignals() {
  sigemptyset(&signals_);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP})
    sigaddset(&signals_, signal);
  pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
  fd_ = signalfd(-1, &signals_, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0)
    throw Exception(std::string("The stop signals cannot be watched: ") + std::strerror(errno));
}

TStopSignals::~TStopSignals() {
  ::close(fd_);
}

int TStopSignals::Wait() {
  int signal = 0;
  sigwait(&signals_, &signal);
  return signal;
}

int TStopSignals::Take() {
  signalfd_siginfo info;
  ssize_t n;
  do {
    n = ::read(fd_, &info, sizeof info);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof info) ? static_cast<int>(info.ssi_signo) : 0;
}

}  // namespace quillbox

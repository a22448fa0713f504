#pragma once

#include <signal.h>

namespace quillbox {

// The signals that end a Quillbox program in good order: SIGINT, SIGTERM and SIGHUP (a closed
// terminal, the end of the desktop session, `kill`, `systemctl --user stop`). Making this blocks
// them for the calling thread and every thread it starts afterwards, so make it in main before
// any thread: then they are taken only here, by Wait or through Descriptor, and never cut a
// thread short. They stay blocked after this is gone, so that one that comes while the program
// ends cannot kill it half-way.
// Not thread-safe: used by the thread that made it.
class TStopSignals {
 public:
  // Raises quillbox::Exception when the descriptor cannot be made.
  TStopSignals();
  ~TStopSignals();
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  // Waits for one and returns its number.
  int Wait();
  // Readable while one is pending, for an event loop; Take takes it.
  int Descriptor() const { return fd_; }
  // The number of a pending one, taken; 0 when none is pending. Does not wait.
  int Take();

 private:
  sigset_t signals_;
  int fd_ = -1;
};

}  // namespace quillbox

#pragma once

namespace quillbox {

// What the access check tells the front end when a client has been let in, so that it can
// start showing activity. The desktop program animates its tray icon; quillboxd does nothing.
// Implementations are called from connection threads and must be thread-safe.
class ConnectionIndicator {
 public:
  virtual ~ConnectionIndicator() = default;
  virtual void EnableTimer() = 0;
};

}  // namespace quillbox

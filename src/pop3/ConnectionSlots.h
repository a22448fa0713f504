#pragma once

#include <optional>

#include "base/Mutex.h"

namespace quillbox {

// The places under a listener's MaxConnections. A connection holds one from its accept to the
// end of its thread, or to its good-bye, so that two clients accepted a moment apart never both
// get in. Thread-safe: listener threads take places, connection threads give them back; lock_
// guards taken_ and is held for nothing else.
class TConnectionSlots {
 public:
  // One place, given back when released or destroyed. Movable, not copyable; used by one thread
  // at a time. The TConnectionSlots must outlive it.
  class TSlot {
   public:
    TSlot() = default;
    TSlot(TSlot&& other) noexcept;
    TSlot& operator=(TSlot&& other) noexcept;
    ~TSlot() { Release(); }

    // Gives the place back; a second call does nothing.
    void Release();

   private:
    friend class TConnectionSlots;
    explicit TSlot(TConnectionSlots* slots) : slots_(slots) {}

    TConnectionSlots* slots_ = nullptr;
  };

  // A place while fewer than limit are taken (limit 0 or less: no limit); none otherwise.
  std::optional<TSlot> Take(int limit);
  int Taken() const;

 private:
  mutable TMutex lock_;
  int taken_ GUARDED_BY(lock_) = 0;
};

}  // namespace quillbox

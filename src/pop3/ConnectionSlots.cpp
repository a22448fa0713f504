#include "pop3/ConnectionSlots.h"

#include <utility>

namespace quillbox {

TConnectionSlots::TSlot::TSlot(TSlot&& other) noexcept
    : slots_(std::exchange(other.slots_, nullptr)) {}

TConnectionSlots::TSlot& TConnectionSlots::TSlot::operator=(TSlot&& other) noexcept {
  if (this != &other) {
    Release();
    slots_ = std::exchange(other.slots_, nullptr);
  }
  return *this;
}

void TConnectionSlots::TSlot::Release() {
  if (slots_ == nullptr)
    return;
  TMutexLock guard(slots_->lock_);
  --slots_->taken_;
  slots_ = nullptr;
}

std::optional<TConnectionSlots::TSlot> TConnectionSlots::Take(int limit) {
  TMutexLock guard(lock_);
  if (limit > 0 && taken_ >= limit)
    return std::nullopt;
  ++taken_;
  return TSlot(this);
}

int TConnectionSlots::Taken() const {
  TMutexLock guard(lock_);
  return taken_;
}

}  // namespace quillbox

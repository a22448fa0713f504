#include "proxy/LookAhead.h"

#include <algorithm>

namespace quillbox {

void TLookAhead::Retrieved(int n) {
  if (!started_)
    credit_ = Depth;
  started_ = true;
  next_ = std::max(next_, n + 1);
}

std::vector<int> TLookAhead::Next() {
  std::vector<int> numbers;
  if (!Running() || !last_)
    return numbers;
  const int batch = Pipelining ? kPipelinedBatch : 1;
  for (; next_ <= *last_ && credit_ > 0 && static_cast<int>(numbers.size()) < batch; ++next_) {
    if (deleted_.contains(next_) || fetched_.contains(next_))
      continue;
    numbers.push_back(next_);
    fetched_.insert(next_);
    --credit_;
  }
  return numbers;
}

void TLookAhead::Fetched(int n, std::optional<TPrefetched> prefetched) {
  if (prefetched)
    held_[n] = std::move(*prefetched);
}

std::optional<TPrefetched> TLookAhead::Take(int n) {
  const auto found = held_.find(n);
  if (found == held_.end())
    return std::nullopt;
  TPrefetched taken = std::move(found->second);
  held_.erase(found);
  ++credit_;
  return taken;
}

}  // namespace quillbox

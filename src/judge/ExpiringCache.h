#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "base/Mutex.h"

namespace quillbox {

// Values kept across sessions by key, each until its own lifetime ends, at most `capacity` of
// them: the least recently used goes first. Clear() forgets every value, and a value stored
// with the generation of before the Clear() (one that was being found out while it ran) is not
// kept, so that nothing found under what was cleared away outlives it.
//
// Thread-safe: one mutex guards the entries and the generation; the clock is called before it is
// taken.
template <class Value>
class TExpiringCache {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  TExpiringCache(size_t capacity, Clock clock)
      : capacity_(std::max<size_t>(capacity, 1)), clock_(std::move(clock)) {}

  std::optional<Value> Find(const std::string& key) EXCLUDES(lock_) {
    const auto now = clock_();
    TMutexLock hold(lock_);
    const auto found = index_.find(key);
    if (found == index_.end())
      return std::nullopt;
    if (now >= found->second->expires) {
      order_.erase(found->second);
      index_.erase(found);
      return std::nullopt;
    }
    order_.splice(order_.begin(), order_, found->second);
    return found->second->value;
  }

  // Keeps value for lifetime; not when generation is given and not the current one.
  void Store(std::string key, Value value, std::chrono::seconds lifetime,
             std::optional<uint64_t> generation = std::nullopt) EXCLUDES(lock_) {
    const auto expires = clock_() + lifetime;
    TMutexLock hold(lock_);
    if (generation && *generation != generation_)
      return;
    if (const auto found = index_.find(key); found != index_.end()) {
      found->second->value = std::move(value);
      found->second->expires = expires;
      order_.splice(order_.begin(), order_, found->second);
      return;
    }
    order_.push_front({key, std::move(value), expires});
    index_.emplace(std::move(key), order_.begin());
    if (order_.size() > capacity_) {
      index_.erase(order_.back().key);
      order_.pop_back();
    }
  }

  void Clear() EXCLUDES(lock_) {
    TMutexLock hold(lock_);
    index_.clear();
    order_.clear();
    ++generation_;
  }

  uint64_t Generation() const EXCLUDES(lock_) {
    TMutexLock hold(lock_);
    return generation_;
  }

  size_t Size() const EXCLUDES(lock_) {
    TMutexLock hold(lock_);
    return order_.size();
  }

 private:
  struct Entry {
    std::string key;
    Value value;
    std::chrono::steady_clock::time_point expires;
  };

  const size_t capacity_;
  const Clock clock_;
  mutable TMutex lock_;
  std::list<Entry> order_ GUARDED_BY(lock_);  // the most recently used first
  std::unordered_map<std::string, typename std::list<Entry>::iterator> index_ GUARDED_BY(lock_);
  uint64_t generation_ GUARDED_BY(lock_) = 0;
};

}  // namespace quillbox

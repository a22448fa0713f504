#include "proxy/LookAhead.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "base/Exception.h"

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

void TLookAhead::Fetched(int n, std::optional<THeaderJudgment> prefetched) {
  if (prefetched)
    held_[n] = std::move(*prefetched);
}

std::optional<THeaderJudgment> TLookAhead::Take(int n) {
  const auto found = held_.find(n);
  if (found == held_.end())
    return std::nullopt;
  THeaderJudgment taken = std::move(found->second);
  held_.erase(found);
  ++credit_;
  return taken;
}

THeaderDigest HeaderDigest(const std::vector<std::string>& header) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  THeaderDigest digest{};
  bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
  for (const std::string& line : header) {
    const uint64_t length = line.size();
    ok = ok && EVP_DigestUpdate(context.get(), &length, sizeof length) == 1 &&
         EVP_DigestUpdate(context.get(), line.data(), line.size()) == 1;
  }
  unsigned int size = 0;
  if (!ok || EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1 || size != digest.size())
    throw Exception("SHA-256 is not available");
  return digest;
}

}  // namespace quillbox

#pragma once

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "judge/JudgmentScheduler.h"

namespace quillbox {

// What identifies a header without holding it: the SHA-256 of its lines, each with its length.
// Two different headers that give the same digest cannot be made.
using THeaderDigest = std::array<unsigned char, 32>;
THeaderDigest HeaderDigest(const std::vector<std::string>& header);

// The judgment started for a header before its message is delivered. The header itself is not
// held: only what identifies it, the log lines of its sender's selection, and its sender's
// judgment (none: no sender to judge).
struct THeaderJudgment {
  THeaderDigest Digest{};
  std::vector<std::string> Lines;
  std::shared_ptr<TJudgment> Judgment;
};

// Which headers of a session to fetch ahead of the client, and the ones fetched. It starts once
// the client retrieves a message and follows it: the messages after the one retrieved last that
// exist (by STAT or LIST; until one of them has been seen, the look-ahead asks STAT itself)
// and are not deleted. Speculation is bounded: each header fetched ahead costs one unit of a
// credit of Depth, and each one the client then retrieves gives its unit back, so at most Depth
// fetched headers ever go unused, and at most Depth are held. A header is held as its digest,
// whatever its length, so what the look-ahead holds is a few hundred bytes a message besides the
// verdicts; the header being read is bounded by the 1 MiB every held header has.
//
// Used by its connection's thread only.
class TLookAhead {
 public:
  static constexpr int kMaxDepth = 32;
  // TOPs sent at once to a server that offers PIPELINING; one otherwise.
  static constexpr int kPipelinedBatch = 8;

  int Depth = kMaxDepth;  // from the rule file; 0: no look-ahead
  bool Pipelining = false;

  // The client retrieved (or asked for) message n: the look-ahead goes on after it.
  void Retrieved(int n);
  // The highest message number there is.
  void Known(int last) { last_ = last; }
  void Deleted(int n) { deleted_.insert(n); }
  void Reset() { deleted_.clear(); }
  // For STAT's count, which leaves out the deleted messages.
  int DeletedCount() const { return static_cast<int>(deleted_.size()); }

  // Whether the look-ahead must learn the highest message number before it can go on.
  bool NeedsCount() const { return Running() && !last_; }
  // The messages to fetch next (none: nothing to do now); their credit is taken.
  std::vector<int> Next();
  // What fetching message n gave; none: it is judged when retrieved, as without a look-ahead.
  void Fetched(int n, std::optional<THeaderJudgment> prefetched);
  // The header fetched for message n, once.
  std::optional<THeaderJudgment> Take(int n);
  // Ends the look-ahead for the session (the real server refused or failed).
  void Stop() { stopped_ = true; }

 private:
  bool Running() const { return Depth > 0 && started_ && !stopped_; }

  bool started_ = false;
  bool stopped_ = false;
  int next_ = 1;
  int credit_ = kMaxDepth;
  std::optional<int> last_;
  std::set<int> deleted_;
  std::set<int> fetched_;  // asked for, whether or not a header came
  std::map<int, THeaderJudgment> held_;
};

}  // namespace quillbox

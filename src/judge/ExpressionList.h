#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "judge/BRegExp.h"

namespace quillbox {

// Match expressions tried against one text in their order, the first that matches counting.
// Most texts match none of a long list, so runs of expressions that mean the same as alternatives
// of one are tried first all at once, and one by one only when that matches (or the matcher gives
// up on it): one miss then costs about what one expression costs. An expression that refers to a
// group by number or name, recurses, uses a backtracking verb or a condition, or whose \Q or
// comment could swallow what follows, stands alone.
//
// Thread-safe once Finish() has run; Add and Finish are used by one thread.
class TExpressionList {
 public:
  using OnLimit = std::function<void(size_t id, const EBRegExpLimitError& error)>;

  // Raises EBRegExpError for an expression that cannot be used.
  void Add(const std::string& expression, size_t id);
  // After the last Add: compiles the runs' alternations.
  void Finish();

  // The id of the first expression that matches target. An expression the matcher gives up on
  // does not match; onLimit says which.
  std::optional<size_t> First(const std::string& target, const OnLimit& onLimit) const;

 private:
  struct TRun {
    std::optional<TCompiledExpression> together;  // with more than one member
    std::vector<std::pair<TCompiledExpression, size_t>> members;
    std::string alternation;  // until Finish(): the members' patterns as alternatives
  };

  std::vector<TRun> runs_;
};

}  // namespace quillbox

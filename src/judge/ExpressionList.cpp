#include "judge/ExpressionList.h"

#include <cstring>
#include <string_view>

namespace quillbox {
namespace {

// An expression as one alternative of several, or none when it may not stand among others: a
// reference to a group by number or name, a recursion, a backtracking verb or a condition would
// mean something else there, and \Q or a comment could swallow what follows it.
std::optional<std::string> Alternative(const TMatchOperator& op) {
  const std::string& p = op.pattern;
  if (p.find('#') != std::string::npos || p.find("(*") != std::string::npos)
    return std::nullopt;
  for (size_t i = 0; i + 1 < p.size(); ++i) {
    const char next = p[i + 1];
    if (p[i] == '\\') {
      if ((next >= '0' && next <= '9') || next == 'g' || next == 'k' || next == 'Q')
        return std::nullopt;
      ++i;
    } else if (p[i] == '(' && next == '?') {
      // Group kinds and option letters; "(?-" only before an option letter.
      const char kind = i + 2 < p.size() ? p[i + 2] : ')';
      const char after = i + 3 < p.size() ? p[i + 3] : ')';
      if (kind == '\0' || std::strchr(":=!<>'-^imsxnJU", kind) == nullptr ||
          (kind == '-' && std::strchr("imsxnJU", after) == nullptr))
        return std::nullopt;
    }
  }
  std::string flags;
  for (const auto& [set, letter] :
       {std::pair{op.caseless, 'i'}, {op.multiline, 'm'}, {op.dotAll, 's'}, {op.extended, 'x'}}) {
    if (set)
      flags += letter;
  }
  return "(?" + flags + ":" + p + ")";
}

// The members of a run tried at once, or none when no delimiter is left to write them with or
// the engine refuses them together (two groups of one name).
std::optional<TCompiledExpression> Together(const std::string& alternation) {
  for (const char delimiter : std::string_view("/!,;~%@=`'\"")) {
    if (alternation.find(delimiter) != std::string::npos)
      continue;
    try {
      return TCompiledExpression(std::string("m") + delimiter + alternation + delimiter);
    } catch (const EBRegExpError&) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// Runs of expressions tried at once stay well below the matcher's bound on a pattern's length.
constexpr size_t kMaxAlternation = 4000;

// Whether any member of a run may match: also when the matcher gives up on them all at once.
bool MayMatch(const TCompiledExpression& together, const std::string& target) {
  try {
    return together.Matches(target);
  } catch (const EBRegExpLimitError&) {
    return true;
  }
}

}  // namespace

void TExpressionList::Add(const std::string& expression, size_t id) {
  TCompiledExpression compiled(expression);
  const std::optional<std::string> alternative = Alternative(ParseMatchOperator(expression));
  // A new run begins after one that cannot take this expression as an alternative.
  if (runs_.empty() || !alternative || runs_.back().alternation.empty() ||
      runs_.back().alternation.size() + alternative->size() > kMaxAlternation)
    runs_.emplace_back();
  TRun& run = runs_.back();
  run.members.emplace_back(std::move(compiled), id);
  if (alternative)
    run.alternation += (run.alternation.empty() ? "" : "|") + *alternative;
}

void TExpressionList::Finish() {
  for (TRun& run : runs_) {
    if (run.members.size() > 1)
      run.together = Together(run.alternation);
    std::string().swap(run.alternation);
  }
}

std::optional<size_t> TExpressionList::First(const std::string& target,
                                             const OnLimit& onLimit) const {
  for (const TRun& run : runs_) {
    if (run.together && !MayMatch(*run.together, target))
      continue;
    for (const auto& [expression, id] : run.members) {
      try {
        if (expression.Matches(target))
          return id;
      } catch (const EBRegExpLimitError& e) {
        onLimit(id, e);
      }
    }
  }
  return std::nullopt;
}

}  // namespace quillbox

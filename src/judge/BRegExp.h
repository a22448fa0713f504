#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/Exception.h"
#include "base/LogSink.h"

namespace quillbox {

// A match expression that cannot be parsed or compiled, or a match the engine gave up on. The
// message is the reason, fit to be shown to the user after "-ERR".
class EBRegExpError : public Exception {
 public:
  using Exception::Exception;
};

// A match the engine gave up on at one of its bounds (match, heap or stack limit): the expression
// is valid, but this target makes it too costly.
class EBRegExpLimitError : public EBRegExpError {
 public:
  using EBRegExpError::EBRegExpError;
};

// The parts of a Perl match operator "m<d>regex<d>flags". An expression that is only "m" (an
// empty match string, a blank rule line) is valid and matches nothing.
struct TMatchOperator {
  bool matchesNothing = false;
  std::string pattern;
  bool caseless = false;   // i
  bool multiline = false;  // m
  bool dotAll = false;     // s
  bool extended = false;   // x
};

// Splits a match expression into its regular expression and modifiers. The delimiter is any
// character but a letter, a digit or a blank; (), [], {} and <> close with their partner and
// may nest inside the expression. Raises EBRegExpError with a readable reason.
TMatchOperator ParseMatchOperator(const std::string& expression);

// Perl-style matching of one expression against one text, with the texts of the groups of the
// last successful match. The expressions come from users (rule files, match strings), so the
// engine's work per match is bounded: a pathological expression fails with EBRegExpError
// instead of hanging the connection (EBRegExpLimitError).
//
// Compiled expressions are kept, up to a bounded number, so that a run of matches with the same
// few expressions compiles each once; the least recently used one is freed before another is
// compiled beyond the bound.
//
// Not thread-safe: each thread uses its own instance (SharedRegExp).
class TBRegExp {
 public:
  static constexpr size_t kDefaultCacheSize = 16;

  explicit TBRegExp(size_t cacheSize = kDefaultCacheSize);
  ~TBRegExp();
  TBRegExp(const TBRegExp&) = delete;
  TBRegExp& operator=(const TBRegExp&) = delete;

  // 1 when the expression matched somewhere in target, 0 when not. Raises EBRegExpError for an
  // expression that cannot be used; no strings are available afterwards.
  int Match(const std::string& expression, const std::string& target);

  // Text of group index of the last successful Match (0 is the whole match; a group that took
  // no part in the match is empty). Raises "no strings now" or "index out of range".
  std::string Strings(int index);

  // Groups of the last matched expression plus one; 0 before any expression was compiled.
  int GroupCount();

  // How many times this matcher has compiled an expression, and how many it holds now.
  int Compilations() const { return compilations_; }
  size_t CachedExpressions() const;

 private:
  friend class TCompiledExpression;
  struct Compiled;
  struct Limits;
  Compiled& Lookup(const std::string& expression);
  static std::unique_ptr<Compiled> Compile(const std::string& expression, Limits& limits);

  size_t cacheSize_;
  std::unique_ptr<Limits> limits_;
  std::vector<std::unique_ptr<Compiled>> cache_;  // most recently used last
  int compilations_ = 0;
  int groupCount_ = 0;
  bool mode_ = false;  // true: the last Match succeeded and groups_ describe it
  std::string target_;
  std::vector<std::pair<size_t, size_t>> groups_;
};

// One expression compiled once and then matched from any thread, under the bounds of TBRegExp
// and with the calling thread's match state: for a list of many expressions, which would push
// each other out of a matcher's cache and be compiled again for every host name. No groups.
//
// Thread-safe once constructed.
class TCompiledExpression {
 public:
  // Raises EBRegExpError for an expression that cannot be used.
  explicit TCompiledExpression(const std::string& expression);
  ~TCompiledExpression();
  TCompiledExpression(TCompiledExpression&&) noexcept;
  TCompiledExpression& operator=(TCompiledExpression&&) noexcept;

  // Whether the expression matches somewhere in target. Raises EBRegExpLimitError when the
  // engine gives up.
  bool Matches(const std::string& target) const;

 private:
  std::unique_ptr<TBRegExp::Compiled> compiled_;
};

// The calling thread's matcher, created on the thread's first call and destroyed when the
// thread ends, so that a Match and the Strings reads that follow it always see the same match.
TBRegExp& SharedRegExp();

// Logs that the matcher gave up on what, the expression's role ("S25R rule 3 /x/i").
void LogMatchLimit(LogSink& log, const std::string& what, const EBRegExpLimitError& error);

// Match on matcher, for a target a stranger may have written: a match the engine gives up on
// counts as no match (a hostile host name or header must not make a message unretrievable) and
// logs one line naming describe(), called only then. Raises EBRegExpError for an expression that
// cannot be used.
template <class Describe>
int MatchWithinLimits(TBRegExp& matcher, const std::string& expression, const std::string& target,
                      LogSink& log, Describe describe) {
  try {
    return matcher.Match(expression, target);
  } catch (const EBRegExpLimitError& e) {
    LogMatchLimit(log, describe(), e);
    return 0;
  }
}

}  // namespace quillbox

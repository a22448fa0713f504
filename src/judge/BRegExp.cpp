#include "judge/BRegExp.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>

namespace quillbox {

namespace {

// Bounds on one match of a user's expression. The match limit caps backtracking (a nested
// quantifier over a long Received: line would otherwise run for hours) at some milliseconds,
// while a sloppy but honest ".*" match over a long line stays well inside it; the heap limit
// caps the interpreter's backtracking frames, the JIT stack the compiled code's.
constexpr uint32_t kMatchLimit = 10'000'000;
constexpr uint32_t kHeapLimitKiB = 20 * 1024;
constexpr size_t kJitStackStart = 32 * 1024;
constexpr size_t kJitStackMax = 1024 * 1024;
// Match strings and rule lines are at most a few hundred characters; this only stops a file of
// garbage from reaching the compiler.
constexpr size_t kMaxPatternLength = 8192;

std::string EngineText(int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0)
    return "regular expression error " + std::to_string(code);
  return reinterpret_cast<const char*>(buffer);
}

bool IsLimit(int code) {
  return code == PCRE2_ERROR_MATCHLIMIT || code == PCRE2_ERROR_HEAPLIMIT ||
         code == PCRE2_ERROR_DEPTHLIMIT || code == PCRE2_ERROR_JIT_STACKLIMIT ||
         code == PCRE2_ERROR_NOMEMORY;
}

char ClosingDelimiter(char open) {
  switch (open) {
    case '(':
      return ')';
    case '[':
      return ']';
    case '{':
      return '}';
    case '<':
      return '>';
    default:
      return open;
  }
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool UsableDelimiter(char c) {
  const auto u = static_cast<unsigned char>(c);
  const bool alnum = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
  return !alnum && u > ' ' && u != 0x7f;
}

// Position of the delimiter that closes the expression opened at open, or npos. A backslash
// hides the next character; with bracket delimiters, inner pairs nest as in Perl.
size_t FindClosingDelimiter(const std::string& e, size_t open) {
  const char opening = e[open];
  const char closing = ClosingDelimiter(opening);
  int depth = 0;
  for (size_t j = open + 1; j < e.size(); ++j) {
    const char c = e[j];
    if (c == '\\') {
      ++j;
    } else if (c == closing) {
      if (depth == 0)
        return j;
      --depth;
    } else if (c == opening) {
      ++depth;
    }
  }
  return std::string::npos;
}

}  // namespace

TMatchOperator ParseMatchOperator(const std::string& e) {
  if (e.empty() || e[0] != 'm')
    throw EBRegExpError("match expression does not begin with \"m\"");
  TMatchOperator op;
  size_t open = 1;
  while (open < e.size() && IsBlank(e[open]))
    ++open;
  if (open == e.size()) {
    op.matchesNothing = true;
    return op;
  }
  if (!UsableDelimiter(e[open]))
    throw EBRegExpError(std::string("invalid delimiter '") + e[open] +
                        "' in match expression: use a punctuation character such as /");
  const size_t close = FindClosingDelimiter(e, open);
  if (close == std::string::npos)
    throw EBRegExpError(std::string("missing closing delimiter '") + ClosingDelimiter(e[open]) +
                        "' in match expression");
  op.pattern = e.substr(open + 1, close - open - 1);
  size_t end = e.size();
  while (end > close + 1 && IsBlank(e[end - 1]))
    --end;
  for (size_t k = close + 1; k < end; ++k) {
    switch (e[k]) {
      case 'i':
        op.caseless = true;
        break;
      case 'm':
        op.multiline = true;
        break;
      case 's':
        op.dotAll = true;
        break;
      case 'x':
        op.extended = true;
        break;
      default:
        throw EBRegExpError(std::string("unknown modifier '") + e[k] +
                            "' in match expression: only i, m, s and x are allowed");
    }
  }
  return op;
}

struct TBRegExp::Limits {
  Limits()
      : compile(pcre2_compile_context_create(nullptr)),
        match(pcre2_match_context_create(nullptr)),
        jitStack(pcre2_jit_stack_create(kJitStackStart, kJitStackMax, nullptr)) {
    if (compile == nullptr || match == nullptr)
      throw std::bad_alloc();
    pcre2_set_max_pattern_length(compile, kMaxPatternLength);
    pcre2_set_match_limit(match, kMatchLimit);
    pcre2_set_heap_limit(match, kHeapLimitKiB);
    // Without JIT support there is no stack, and the interpreter runs every match.
    if (jitStack != nullptr)
      pcre2_jit_stack_assign(match, nullptr, jitStack);
  }
  ~Limits() {
    pcre2_jit_stack_free(jitStack);
    pcre2_match_context_free(match);
    pcre2_compile_context_free(compile);
  }
  Limits(const Limits&) = delete;
  Limits& operator=(const Limits&) = delete;

  pcre2_compile_context* compile;
  pcre2_match_context* match;
  pcre2_jit_stack* jitStack;
};

struct TBRegExp::Compiled {
  explicit Compiled(std::string text) : expression(std::move(text)) {}
  ~Compiled() {
    pcre2_match_data_free(data);
    pcre2_code_free(code);
  }
  Compiled(const Compiled&) = delete;
  Compiled& operator=(const Compiled&) = delete;

  std::string expression;
  pcre2_code* code = nullptr;  // null: the expression matches nothing
  pcre2_match_data* data = nullptr;
  int groups = 0;
};

std::unique_ptr<TBRegExp::Compiled> TBRegExp::Compile(const std::string& expression,
                                                      Limits& limits) {
  const TMatchOperator op = ParseMatchOperator(expression);
  auto entry = std::make_unique<TBRegExp::Compiled>(expression);
  if (op.matchesNothing)
    return entry;
  // Text is single-byte; a pattern must not switch the engine to UTF-8 and then fail on it.
  uint32_t options = PCRE2_NEVER_UTF;
  if (op.caseless)
    options |= PCRE2_CASELESS;
  if (op.multiline)
    options |= PCRE2_MULTILINE;
  if (op.dotAll)
    options |= PCRE2_DOTALL;
  if (op.extended)
    options |= PCRE2_EXTENDED;
  int error = 0;
  PCRE2_SIZE offset = 0;
  entry->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(op.pattern.data()), op.pattern.size(),
                              options, &error, &offset, limits.compile);
  if (entry->code == nullptr)
    throw EBRegExpError(EngineText(error) + " at offset " + std::to_string(offset));
  // Without JIT support the interpreter runs the same expression, only slower.
  pcre2_jit_compile(entry->code, PCRE2_JIT_COMPLETE);
  uint32_t captures = 0;
  pcre2_pattern_info(entry->code, PCRE2_INFO_CAPTURECOUNT, &captures);
  entry->groups = static_cast<int>(captures);
  entry->data = pcre2_match_data_create_from_pattern(entry->code, nullptr);
  if (entry->data == nullptr)
    throw std::bad_alloc();
  return entry;
}

TBRegExp::TBRegExp(size_t cacheSize)
    : cacheSize_(std::max<size_t>(cacheSize, 1)), limits_(std::make_unique<Limits>()) {}

TBRegExp::~TBRegExp() = default;

size_t TBRegExp::CachedExpressions() const {
  return cache_.size();
}

TBRegExp::Compiled& TBRegExp::Lookup(const std::string& expression) {
  for (auto it = cache_.rbegin(); it != cache_.rend(); ++it) {
    if ((*it)->expression == expression) {
      std::rotate(std::prev(it.base()), it.base(), cache_.end());
      return *cache_.back();
    }
  }
  if (cache_.size() >= cacheSize_)
    cache_.erase(cache_.begin());

  ++compilations_;
  auto entry = Compile(expression, *limits_);
  cache_.push_back(std::move(entry));
  return *cache_.back();
}

int TBRegExp::Match(const std::string& expression, const std::string& target) {
  mode_ = false;
  groupCount_ = 0;
  Compiled& c = Lookup(expression);
  groupCount_ = c.groups + 1;
  if (c.code == nullptr)
    return 0;
  const int rc = pcre2_match(c.code, reinterpret_cast<PCRE2_SPTR>(target.data()), target.size(), 0,
                             0, c.data, limits_->match);
  if (rc == PCRE2_ERROR_NOMATCH)
    return 0;
  if (IsLimit(rc))
    throw EBRegExpLimitError(EngineText(rc));
  if (rc < 0)
    throw EBRegExpError(EngineText(rc));

  // The groups are kept as offsets into a copy of the target, so that a caller may change or
  // free its text before reading them.
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(c.data);
  groups_.assign(groupCount_, {0, 0});
  for (int g = 0; g < std::min(rc, groupCount_); ++g) {
    if (ovector[2 * g] != PCRE2_UNSET)
      groups_[g] = {ovector[2 * g], ovector[2 * g + 1]};
  }
  target_ = target;
  mode_ = true;
  return 1;
}

std::string TBRegExp::Strings(int index) {
  if (!mode_)
    throw EBRegExpError("no strings now");
  if (index < 0 || index >= groupCount_)
    throw EBRegExpError("index out of range");
  const auto [start, end] = groups_[index];
  return target_.substr(start, end - start);
}

int TBRegExp::GroupCount() {
  return groupCount_;
}

TCompiledExpression::TCompiledExpression(const std::string& expression)
    : compiled_(TBRegExp::Compile(expression, *SharedRegExp().limits_)) {}

TCompiledExpression::~TCompiledExpression() = default;
TCompiledExpression::TCompiledExpression(TCompiledExpression&&) noexcept = default;
TCompiledExpression& TCompiledExpression::operator=(TCompiledExpression&&) noexcept = default;

bool TCompiledExpression::Matches(const std::string& target) const {
  if (compiled_->code == nullptr)
    return false;
  // The whole match only, so one small block per thread serves every expression.
  thread_local const std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> data(
      pcre2_match_data_create(1, nullptr), &pcre2_match_data_free);
  if (!data)
    throw std::bad_alloc();
  const int rc = pcre2_match(compiled_->code, reinterpret_cast<PCRE2_SPTR>(target.data()),
                             target.size(), 0, 0, data.get(), SharedRegExp().limits_->match);
  if (rc == PCRE2_ERROR_NOMATCH)
    return false;
  if (IsLimit(rc))
    throw EBRegExpLimitError(EngineText(rc));
  if (rc < 0)
    throw EBRegExpError(EngineText(rc));
  return true;
}

TBRegExp& SharedRegExp() {
  thread_local TBRegExp matcher;
  return matcher;
}

void LogMatchLimit(LogSink& log, const std::string& what, const EBRegExpLimitError& error) {
  log.AddToMemo("   P    " + what + " exceeded the matcher's limit (" + error.Message() +
                ") and counts as no match");
}

}  // namespace quillbox

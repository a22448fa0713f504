#include "judge/SenderAddress.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <iterator>

#include "base/SysUtils.h"
#include "net/IdStack.h"

namespace quillbox {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Calls take(start, end) for each longest run of characters that inRun accepts, from the first
// on, until it gives an address.
template <class InRun, class Take>
std::optional<std::string> FirstInRuns(std::string_view text, InRun inRun, Take take) {
  size_t at = 0;
  while (at < text.size()) {
    if (!inRun(text[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && inRun(text[end]))
      ++end;
    if (auto address = take(at, end))
      return address;
    at = end;
  }
  return std::nullopt;
}

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool InIPv6Run(char c) {
  return IsHexDigit(c) || c == ':' || c == '.';
}

// A character that makes a run part of a word or a name, or gives it a zone id.
bool ContinuesWord(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '%';
}

// The address a candidate run stands for, if it is one.
std::optional<std::string> IPv6Candidate(std::string_view run) {
  while (!run.empty() && run.back() == '.')
    run.remove_suffix(1);
  const auto bytes = ParseIPv6(run);
  if (!bytes || *bytes == TIPv6Bytes{})
    return std::nullopt;
  constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!std::equal(std::begin(kMapped), std::end(kMapped), bytes->begin()))
    return IPv6Text(*bytes);
  std::string quad;
  for (size_t i = 12; i < 16; ++i)
    quad += (i > 12 ? "." : "") + std::to_string((*bytes)[i]);
  return quad;
}

}  // namespace

std::optional<std::string> FirstDottedQuad(std::string_view text) {
  const auto inRun = [](char c) { return IsDigit(c) || c == '.'; };
  return FirstInRuns(text, inRun, [&](size_t at, size_t end) -> std::optional<std::string> {
    std::string_view run = text.substr(at, end - at);
    while (!run.empty() && run.back() == '.')
      run.remove_suffix(1);
    // Compared and shown in one form: "198.051.100.002" is the address the lookups give back
    // as 198.51.100.2.
    return CanonicalDottedIPv4(std::string(run));
  });
}

std::optional<std::string> FirstIPv6Address(std::string_view text) {
  constexpr std::string_view kPrefix = "IPv6:";
  return FirstInRuns(text, InIPv6Run, [&](size_t at, size_t end) -> std::optional<std::string> {
    // "IPv6:2001:db8::1" reads as a run "6:2001:db8::1" after a word "IPv".
    size_t start = at;
    if (at >= 3 && end - at > 2 && StartsText(kPrefix, text.substr(at - 3)))
      start = at + 2;
    const bool alone = (start > at || at == 0 || !ContinuesWord(text[at - 1])) &&
                       (end == text.size() || !ContinuesWord(text[end]));
    return alone ? IPv6Candidate(text.substr(start, end - start)) : std::nullopt;
  });
}

std::optional<std::string> SenderAddress(std::string_view text) {
  if (auto quad = FirstDottedQuad(text))
    return quad;
  return FirstIPv6Address(text);
}

}  // namespace quillbox

#include "proxy/ReceivedHop.h"

#include <algorithm>
#include <cctype>

#include "base/SysUtils.h"
#include "judge/ReservedBlocks.h"
#include "judge/SenderAddress.h"

namespace quillbox {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

// A word of a Received: line that names a host: letters, digits, '-' and '.', at least one dot
// and one letter (a dotted quad is no name).
std::optional<std::string> HostName(std::string_view word) {
  while (!word.empty() && word.back() == '.')
    word.remove_suffix(1);
  const bool nameChars = std::all_of(word.begin(), word.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.';
  });
  const bool letter =
      std::any_of(word.begin(), word.end(), [](unsigned char c) { return std::isalpha(c); });
  if (word.empty() || !nameChars || !letter || word.find('.') == std::string_view::npos)
    return std::nullopt;
  return Lower(word);
}

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < text.size()) {
    const size_t start = text.find_first_not_of(" \t()[]=;<>", at);
    if (start == std::string_view::npos)
      break;
    const size_t end = std::min(text.find_first_of(" \t()[]=;<>", start), text.size());
    words.push_back(text.substr(start, end - start));
    at = end;
  }
  return words;
}

// Where the keyword word (" by ", any letter case) stands outside parentheses, from `from` on.
size_t KeywordAt(std::string_view line, std::string_view word, size_t from) {
  int depth = 0;
  for (size_t i = from; i < line.size(); ++i) {
    const char c = line[i];
    depth += c == '(' ? 1 : c == ')' ? -1 : 0;
    depth = std::max(depth, 0);
    const bool starts = i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t';
    if (depth == 0 && starts && i + word.size() <= line.size() &&
        SameText(line.substr(i, word.size()), word) &&
        (i + word.size() == line.size() || line[i + word.size()] == ' '))
      return i;
  }
  return std::string_view::npos;
}

}  // namespace

TReceivedHop ParseReceived(std::string_view line) {
  TReceivedHop hop;
  if (StartsText("Received:", line))
    line.remove_prefix(9);
  const size_t from = KeywordAt(line, "from", 0);
  const size_t by = KeywordAt(line, "by", from == std::string_view::npos ? 0 : from);
  if (by != std::string_view::npos) {
    const std::vector<std::string_view> after = Words(line.substr(by + 2));
    if (!after.empty()) {
      hop.By = Lower(after.front());
      while (!hop.By.empty() && hop.By.back() == '.')
        hop.By.pop_back();
      // "by HOST (ADDRESS)", as Microsoft's servers write it.
      const size_t end =
          static_cast<size_t>(after.front().data() - line.data()) + after.front().size();
      const size_t rest = line.find_first_not_of(' ', end);
      if (rest != std::string_view::npos && line[rest] == '(') {
        const size_t close = line.find(')', rest);
        hop.ByAddress = SenderAddress(
            line.substr(rest, close == std::string_view::npos ? close : close - rest));
      }
    }
  }
  if (from == std::string_view::npos)
    return hop;
  hop.HasFrom = true;
  const std::string_view part =
      line.substr(from + 4, by == std::string_view::npos ? std::string_view::npos : by - from - 4);
  for (const std::string_view word : Words(part)) {
    if (const auto name = HostName(word);
        name && std::find(hop.FromNames.begin(), hop.FromNames.end(), *name) == hop.FromNames.end())
      hop.FromNames.push_back(*name);
  }
  // The host's address stands in the last bracket or parenthesis that holds one: a HELO that is
  // an address literal comes first.
  for (size_t open = part.find_last_of("(["); open != std::string_view::npos;
       open = open == 0 ? std::string_view::npos : part.find_last_of("([", open - 1)) {
    const size_t close = part.find_first_of(")]", open);
    if (const auto address = SenderAddress(part.substr(open + 1, close == std::string_view::npos
                                                                     ? std::string_view::npos
                                                                     : close - open - 1))) {
      hop.FromAddress = address;
      break;
    }
  }
  return hop;
}

std::string RegistrableDomain(std::string_view host) {
  std::vector<std::string_view> labels;
  for (size_t at = 0; at <= host.size();) {
    const size_t dot = std::min(host.find('.', at), host.size());
    labels.push_back(host.substr(at, dot - at));
    at = dot + 1;
  }
  size_t keep = 2;
  if (labels.size() >= 3 && labels.back().size() == 2 && labels[labels.size() - 2].size() <= 3)
    keep = 3;
  if (labels.size() <= keep)
    return Lower(host);
  std::string domain;
  for (size_t i = labels.size() - keep; i < labels.size(); ++i)
    domain += (domain.empty() ? "" : ".") + std::string(labels[i]);
  return Lower(domain);
}

bool IsInternalAddress(const std::string& address) {
  const auto block = SpecialPurposeBlock(address);
  return block && (*block == "loopback" || *block == "private" || *block == "unique-local" ||
                   *block == "link-local" || *block == "shared");
}

}  // namespace quillbox

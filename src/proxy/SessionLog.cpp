#include "proxy/SessionLog.h"

#include <algorithm>

namespace quillbox {
namespace {

constexpr size_t kDirectionWidth = 8;  // "C<-P    ", "   P->S " ...
constexpr std::string_view kMask = "********";

bool IsWordByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u >= 0x80;
}

// Length of a leading status word and the blanks before it, or 0.
size_t StatusWordLength(std::string_view text) {
  const size_t start = std::min(text.find_first_not_of(' '), text.size());
  for (std::string_view word : {"+OK", "-ERR"}) {
    const size_t end = start + word.size();
    if (text.substr(start).starts_with(word) && (end == text.size() || text[end] == ' '))
      return end;
  }
  return 0;
}

// The length of text's first fields words from at on, with the blanks before each.
size_t FieldsLength(std::string_view text, size_t at, size_t fields) {
  for (; fields > 0 && at < text.size(); --fields)
    at = std::min(text.find(' ', std::min(text.find_first_not_of(' ', at), text.size())),
                  text.size());
  return at;
}

}  // namespace

std::string MaskPassword(std::string_view text, std::string_view password, size_t keptFields) {
  std::string masked(text.substr(0, FieldsLength(text, StatusWordLength(text), keptFields)));
  size_t at = masked.size();
  while (!password.empty()) {
    const size_t found = text.find(password, at);
    if (found == std::string_view::npos)
      break;
    const size_t end = found + password.size();
    const bool whole = (found == 0 || !IsWordByte(text[found - 1])) &&
                       (end == text.size() || !IsWordByte(text[end]));
    const size_t upTo = whole ? end : found + 1;
    masked.append(text.substr(at, found - at)).append(whole ? kMask : text.substr(found, 1));
    at = upTo;
  }
  return masked.append(text.substr(at));
}

void TSessionLog::AddToMemo(const std::string& line) {
  if (password_.empty() || line.size() <= kDirectionWidth) {
    log_.AddToMemo(line);
    return;
  }
  const std::string_view text(line);
  log_.AddToMemo(std::string(text.substr(0, kDirectionWidth)) +
                 MaskPassword(text.substr(kDirectionWidth), password_));
}

}  // namespace quillbox

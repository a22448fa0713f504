#include "pop3/IdReplyPOP3.h"

#include "base/SysUtils.h"
#include "net/IdException.h"

namespace quillbox {

namespace {

bool IsValidCode(const std::string& code) {
  return Trim(code).empty() || SameText(code, "+OK") || SameText(code, "-ERR") || code == "+";
}

}  // namespace

TIdReplyPOP3::TIdReplyPOP3(std::string code, std::string_view text) {
  SetCodeAndText(std::move(code), text);
}

void TIdReplyPOP3::SetCode(std::string code) {
  if (code == code_)
    return;
  if (!IsValidCode(code))
    throw EIdException("Reply Code is not valid: " + code);
  text_.clear();
  code_ = std::move(code);
}

void TIdReplyPOP3::SetText(std::string_view text) {
  text_.clear();
  text = text.substr(0, text.find('\0'));
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find_first_of("\r\n", begin);
    if (end == std::string_view::npos) {
      text_.emplace_back(text.substr(begin));
      break;
    }
    text_.emplace_back(text.substr(begin, end - begin));
    begin = end + ((text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ? 2 : 1);
  }
}

void TIdReplyPOP3::JoinText(std::string_view separator) {
  if (text_.size() < 2)
    return;
  std::string joined = std::move(text_.front());
  for (size_t i = 1; i < text_.size(); ++i) {
    joined += separator;
    joined += text_[i];
  }
  text_ = {std::move(joined)};
}

void TIdReplyPOP3::SetCodeAndText(std::string code, std::string_view text) {
  SetCode(std::move(code));
  SetText(text);
}

void TIdReplyPOP3::Clear() {
  code_.clear();
  text_.clear();
}

void TIdReplyPOP3::Assign(const TIdReplyPOP3& source) {
  SetCode(source.code_);
  enhancedCode_ = source.enhancedCode_;
  text_ = source.text_;
}

std::vector<std::string> TIdReplyPOP3::FormatLines() const {
  if (code_.empty())
    return text_;
  if (text_.empty())
    return {code_};
  std::vector<std::string> lines;
  lines.reserve(text_.size());
  for (size_t i = 0; i + 1 < text_.size(); ++i)
    lines.push_back(code_ + "-" + text_[i]);
  lines.push_back(code_ + " " + text_.back());
  return lines;
}

}  // namespace quillbox

#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

// A POP3 reply: a code ("+OK", "-ERR", "+" or empty) and text lines. A new reply is "+OK"
// without text. Not thread-safe; each reply belongs to one command or one server setting.
class TIdReplyPOP3 {
 public:
  TIdReplyPOP3() = default;
  TIdReplyPOP3(std::string code, std::string_view text);

  const std::string& Code() const { return code_; }
  // Same code: nothing happens. Another code: validated ("Reply Code is not valid: %s"), the
  // text cleared, the code stored.
  void SetCode(std::string code);
  std::vector<std::string>& Text() { return text_; }
  const std::vector<std::string>& Text() const { return text_; }
  // Replaces the text by the lines of text (split at CR LF, lone CR or lone LF; a NUL ends it).
  void SetText(std::string_view text);
  void SetCodeAndText(std::string code, std::string_view text);
  // Makes the text one line, its lines joined with the separator: a POP3 client reads one status
  // line per command, and a second line would pass for the answer to its next command.
  void JoinText(std::string_view separator);

  const std::string& EnhancedCode() const { return enhancedCode_; }

  void Clear();
  void Assign(const TIdReplyPOP3& source);

  // The wire lines: "CODE-line" for all but the last text line, "CODE line" for the last; the
  // bare code without text; the text alone without code.
  std::vector<std::string> FormatLines() const;

 private:
  std::string code_ = "+OK";
  std::string enhancedCode_;
  std::vector<std::string> text_;
};

}  // namespace quillbox

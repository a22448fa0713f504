#pragma once

#include <cstddef>
#include <functional>
#include <istream>
#include <string>
#include <vector>

#include "base/Exception.h"

namespace quillbox {

// An input that holds no message to judge: a file that cannot be read, a folder that is no
// maildir, a text that is no message. The message names it and says why.
class EInputError : public Exception {
 public:
  using Exception::Exception;
};

// One message of an input: its header as the proxy collects it from a retrieval (lines
// without their ends, up to the first line that is no header line), at most kHeaderBytes.
struct TInputMessage {
  static constexpr size_t kHeaderBytes = 1024 * 1024;  // as much as the proxy holds
  std::string Source;  // "mail.eml", "saved.mbox #3", "Maildir/cur/1733.M1P2.host:2,S"
  std::vector<std::string> Header;
  bool TooLong = false;  // the header did not end within kHeaderBytes; Header is its start
};

// Reads every message of one input: "-" (standard input, in), a message file, an mbox file
// (its first line begins with "From "; each message begins at such a line at the start or
// after an empty line; a quoted ">From " line never does, and no header line begins with one, so
// the quoting needs no undoing here) or a maildir folder (every file in
// new/ and cur/, by name). Lines may end in CR LF or LF; no line is held beyond kHeaderBytes.
// Raises EInputError, after the messages read before the fault were taken.
using TTakeMessage = std::function<void(TInputMessage)>;
void ReadMessages(const std::string& input, std::istream& in, const TTakeMessage& take);

// The messages of text, as ReadMessages reads a file of it (for pasted text).
void ReadMessagesOfText(const std::string& source, const std::string& text,
                        const TTakeMessage& take);

}  // namespace quillbox

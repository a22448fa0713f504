#pragma once

// The dot-stuffing of a POP3 multi-line answer, both ways: a line of the message whose text
// begins with "." travels with one more "." in front, and a line holding a single "." ends the
// answer. Every reader and writer of such an answer decides by these functions, so the header
// that Quillbox holds and the body that it relays as bytes are unstuffed and stuffed alike.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/IdIOHandler.h"

namespace quillbox {

// What the bytes at the start of a line of a multi-line answer, as the wire carries it, say.
enum class TLineStart {
  kUndecided,   // too few bytes to tell: ".", ".\r"
  kTerminator,  // the line that ends the answer: ".\n" or ".\r\n"
  kStuffed,     // a "." to drop before the line's text
  kPlain,       // the line's text itself
};
// terminatorLength receives the length of the terminating line (kTerminator).
TLineStart ReadLineStart(std::string_view lineStart, size_t& terminatorLength);

// A line read from a multi-line answer (its line end taken off, a CR before the LF with it) made
// its text: false for the terminating line.
bool UnstuffLine(std::string& line);

// Whether a line with this text travels with a "." in front.
inline bool NeedsStuffing(std::string_view text) {
  return !text.empty() && text.front() == '.';
}

// The one writer of a dot-terminated body (a POP3 multi-line answer) on a line connection. Lines,
// or bytes already stuffed as the wire carries them, go out in chunks of about kChunk bytes as
// they come: a large answer costs a few sends instead of one per line, and memory stays bounded
// however long it is. Stuffed parts of kDirect bytes or more go out as they are, uncopied: a
// relay that receives kChunk bytes at a time passes a message on with no copy of its own. Finish
// sends the rest and the terminating "." line. A writer dropped without Finish sends nothing more,
// so a broken answer never ends in "." and the client never takes it for a whole one. Used by the
// thread that uses the line connection.
class TIdDotTerminatedWriter {
 public:
  static constexpr size_t kChunk = 256 * 1024;
  static constexpr size_t kDirect = kChunk / 4;

  explicit TIdDotTerminatedWriter(TIdIOHandlerStack& io);
  TIdDotTerminatedWriter(const TIdDotTerminatedWriter&) = delete;
  TIdDotTerminatedWriter& operator=(const TIdDotTerminatedWriter&) = delete;

  // One line without its line end; a leading "." is doubled.
  void AddLine(std::string_view line);
  void AddLines(const std::vector<std::string>& lines);
  // Bytes of the body as the wire carries them: stuffed lines ending in CR LF, cut anywhere. The
  // caller keeps the terminating "." line out; before Finish the bytes must end a line.
  void AddStuffed(std::string_view bytes);
  // Sends what has collected, without ending the body.
  void Flush();
  // Sends the rest and the "." line.
  void Finish();
  // The body's bytes given so far, stuffed, as the wire carries them.
  uint64_t Bytes() const { return sent_ + chunk_.size(); }

 private:
  void SendIfFull();

  TIdIOHandlerStack& io_;
  std::string chunk_;
  uint64_t sent_ = 0;  // bytes written to io_
};

// A whole dot-terminated body on io: the lines stuffed, then ".".
void WriteDotTerminated(TIdIOHandlerStack& io, const std::vector<std::string>& lines);

}  // namespace quillbox

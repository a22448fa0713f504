#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace quillbox {

// The rest of a multi-line answer from the real server, from a line start to its terminating
// line, passed on as bytes in the form that reading it line by line and writing the lines again
// gives: a line ending in LF or in CR LF goes on ending in CR LF; a line that begins with "." and
// a second character other than "." loses that dot (it was stuffed, or a server forgot to stuff
// a line that begins with two); while asked to, field names of Quillbox's are renamed as
// TMessageAnnotation::DeliverLine renames them, up to the first empty line. Every other byte,
// a lone CR included, passes unchanged and uncopied, and no line is held, whatever its length:
// the relay looks at line starts, line ends and, while it renames, carriage returns, and never
// needs more than a dozen bytes ahead. Not thread-safe; one per answer.
class TAnswerRelay {
 public:
  // Takes the parts to pass on, in order: for a TIdDotTerminatedWriter's AddStuffed.
  using TSink = std::function<void(std::string_view)>;

  explicit TAnswerRelay(bool renameForged) : rename_(renameForged) {}

  // Passes on as much of input as can be decided now and returns the count of bytes it used;
  // the rest (a few bytes at most) waits to come again with what follows it. The terminating
  // line is used and goes nowhere; nothing after it is used.
  size_t Take(std::string_view input, const TSink& out);
  // Whether the terminating line has been used.
  bool Done() const { return done_; }

 private:
  // Where the next byte stands: at a line's start, at the start of a piece that may begin
  // with a field name to rename (the line's text, or what follows a lone CR), or within a line.
  enum class TAt { kLineStart, kPieceStart, kInLine };
  struct TCursor;

  // Each step looks at the input from the cursor on and moves it, or answers false when it
  // needs more input to decide.
  bool LineStart(TCursor& c);
  bool PieceStart(TCursor& c);
  bool InLine(TCursor& c);  // while renaming
  bool InBody(TCursor& c);  // after that

  bool rename_;
  TAt at_ = TAt::kLineStart;
  bool lastWasCR_ = false;  // the last byte used was a CR
  bool done_ = false;
};

// How much of the rest of a multi-line answer may come when Quillbox reads it only to its end
// (an answer to a command of its own), so that a server that never ends one is noticed: first
// what is left of a header, up to HeaderBytes in all, until an empty line; then Lines lines, each
// up to LineBytes; then Spare bytes more. Whatever does not fit where it stands (a header past
// HeaderBytes, a line past LineBytes, lines past Lines) draws on Spare. Counts the bytes as a
// TAnswerRelay passes them on, every line ending in CR LF. Not thread-safe; one per answer.
class TAnswerBudget {
 public:
  struct TLimits {
    bool InHeader = false;
    size_t HeaderBytes = 0;
    size_t Lines = 0;
    size_t LineBytes = 0;
    size_t Spare = 0;
  };

  explicit TAnswerBudget(const TLimits& limits) : left_(limits), lineRoom_(limits.LineBytes) {}
  // Counts the next part; false once the answer has gone past its limits.
  bool Take(std::string_view part);

 private:
  // Takes bytes from room, and what room cannot give from Spare.
  bool Draw(size_t bytes, size_t& room);

  TLimits left_;
  size_t lineRoom_;
  size_t lineLength_ = 0;  // of the current line so far, without its LF
  bool lineStartsWithCR_ = false;
  bool overrun_ = false;
};

}  // namespace quillbox

#include "proxy/AnswerRelay.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "pop3/DotStuffing.h"
#include "proxy/HeaderSyntax.h"

namespace quillbox {

// The input of one Take: what has been looked at, and what of that has gone on.
struct TAnswerRelay::TCursor {
  std::string_view input;
  const TSink& out;
  size_t at = 0;      // the next byte to look at
  size_t passed = 0;  // the bytes before this one have gone on or were dropped

  // Passes on the bytes looked at and not yet gone on.
  void Pass() {
    if (at > passed)
      out(input.substr(passed, at - passed));
    passed = at;
  }
  // Passes on what is pending, then skips count bytes.
  void Drop(size_t count) {
    Pass();
    at += count;
    passed = at;
  }
  // Passes on what is pending, then bytes that were not in the input.
  void Insert(std::string_view bytes) {
    Pass();
    out(bytes);
  }
};

size_t TAnswerRelay::Take(std::string_view input, const TSink& out) {
  TCursor c{input, out};
  for (bool decided = true; decided && !done_ && c.at < input.size();) {
    switch (at_) {
      case TAt::kLineStart:
        decided = LineStart(c);
        break;
      case TAt::kPieceStart:
        decided = PieceStart(c);
        break;
      case TAt::kInLine:
        decided = rename_ ? InLine(c) : InBody(c);
        break;
    }
  }
  c.Pass();
  if (c.at > 0)
    lastWasCR_ = input[c.at - 1] == '\r';
  return c.at;
}

bool TAnswerRelay::LineStart(TCursor& c) {
  const std::string_view rest = c.input.substr(c.at);
  size_t terminatorLength = 0;
  switch (ReadLineStart(rest, terminatorLength)) {
    case TLineStart::kUndecided:
      return false;
    case TLineStart::kTerminator:
      c.Drop(terminatorLength);
      done_ = true;
      return true;
    case TLineStart::kStuffed:
      // What goes on is stuffed again: a text that begins with a dot keeps the dot before it,
      // and then never begins with a field name.
      if (!NeedsStuffing(rest.substr(1)))
        c.Drop(1);
      break;
    case TLineStart::kPlain:
      if (rename_) {
        const std::optional<bool> empty = EmptyLineAt(rest);
        if (!empty)
          return false;
        // The first empty line: the body begins, and nothing in it is renamed.
        rename_ = !*empty;
      }
      break;
  }
  at_ = rename_ ? TAt::kPieceStart : TAt::kInLine;
  return true;
}

bool TAnswerRelay::PieceStart(TCursor& c) {
  const std::optional<bool> own = OwnFieldAt(c.input.substr(c.at));
  if (!own)
    return false;
  if (*own) {
    c.at += kForgedMarkAt;
    c.Insert(kForgedMark);
  }
  at_ = TAt::kInLine;
  return true;
}

bool TAnswerRelay::InLine(TCursor& c) {
  // While names are renamed, a lone CR starts a piece, so CRs are looked for too.
  const size_t end = c.input.find_first_of("\r\n", c.at);
  if (end == std::string_view::npos) {
    c.at = c.input.size();
    return true;
  }
  if (c.input[end] == '\r') {
    c.at = end;
    if (end + 1 == c.input.size())
      return false;
    ++c.at;
    if (c.input[c.at] != '\n')
      at_ = TAt::kPieceStart;
    return true;
  }
  const bool afterCR = end > 0 ? c.input[end - 1] == '\r' : lastWasCR_;
  c.at = end;
  if (!afterCR)
    c.Insert("\r");
  ++c.at;
  at_ = TAt::kLineStart;
  return true;
}

bool TAnswerRelay::InBody(TCursor& c) {
  // The lines of a body are gone through here without a step per line: only a line end without
  // its CR and a line that begins with a dot need more.
  const char* data = c.input.data();
  const size_t size = c.input.size();
  for (size_t at = c.at;;) {
    const void* hit = std::memchr(data + at, '\n', size - at);
    if (hit == nullptr) {
      c.at = size;
      return true;
    }
    const size_t lf = static_cast<const char*>(hit) - data;
    if (!(lf > 0 ? data[lf - 1] == '\r' : lastWasCR_)) {
      c.at = lf;
      c.Insert("\r");
    }
    at = lf + 1;
    if (at == size || data[at] == '.') {
      c.at = at;
      at_ = TAt::kLineStart;
      return true;
    }
  }
}

bool TAnswerBudget::Take(std::string_view part) {
  while (!overrun_ && !part.empty()) {
    const size_t lf = part.find('\n');
    const size_t length = lf == std::string_view::npos ? part.size() : lf;
    if (lineLength_ == 0 && length > 0)
      lineStartsWithCR_ = part[0] == '\r';
    const size_t piece = std::min(part.size(), length + 1);
    size_t none = 0;
    size_t& room = left_.InHeader ? left_.HeaderBytes : left_.Lines > 0 ? lineRoom_ : none;
    overrun_ = !Draw(piece, room);
    lineLength_ += length;
    part.remove_prefix(piece);
    if (lf == std::string_view::npos)
      break;
    const bool empty = lineLength_ == 0 || (lineLength_ == 1 && lineStartsWithCR_);
    if (left_.InHeader)
      left_.InHeader = !empty;
    else if (left_.Lines > 0)
      --left_.Lines;
    lineRoom_ = left_.LineBytes;
    lineLength_ = 0;
  }
  return !overrun_;
}

bool TAnswerBudget::Draw(size_t bytes, size_t& room) {
  const size_t fromRoom = std::min(bytes, room);
  room -= fromRoom;
  bytes -= fromRoom;
  if (bytes > left_.Spare)
    return false;
  left_.Spare -= bytes;
  return true;
}

}  // namespace quillbox

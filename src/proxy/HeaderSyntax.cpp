#include "proxy/HeaderSyntax.h"

#include <algorithm>

#include "base/SysUtils.h"

namespace quillbox {
namespace {

// "name:" with a name of printable characters other than the colon (RFC 5322 ftext).
bool IsField(std::string_view piece) {
  const size_t colon = piece.find(':');
  if (colon == 0 || colon == std::string_view::npos)
    return false;
  for (char c : piece.substr(0, colon)) {
    if (c < '!' || c > '~')
      return false;
  }
  return true;
}

// Calls f with the position of each piece of line: its start and each place after a lone CR.
template <class F>
void ForEachPiece(std::string_view line, F f) {
  size_t at = 0;
  for (;;) {
    const size_t cr = line.find('\r', at);
    f(line.substr(at, cr == std::string_view::npos ? std::string_view::npos : cr - at));
    if (cr == std::string_view::npos)
      return;
    at = cr + 1;
  }
}

}  // namespace

bool IsContinuationLine(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

bool IsHeaderLine(std::string_view line) {
  bool header = true;
  ForEachPiece(line, [&header](std::string_view piece) {
    header = header && (IsContinuationLine(piece) || IsField(piece));
  });
  return header;
}

std::optional<bool> EmptyLineAt(std::string_view lineStart) {
  if (lineStart.empty() || lineStart == "\r")
    return std::nullopt;
  return lineStart[0] == '\n' || lineStart.starts_with("\r\n");
}

std::optional<bool> OwnFieldAt(std::string_view pieceStart) {
  const size_t n = std::min(pieceStart.size(), kOwnFieldPrefix.size());
  if (!SameText(pieceStart.substr(0, n), kOwnFieldPrefix.substr(0, n)))
    return false;
  if (n < kOwnFieldPrefix.size())
    return std::nullopt;
  return true;
}

bool RenameForgedFields(std::string& line) {
  std::vector<size_t> starts;
  size_t offset = 0;
  ForEachPiece(line, [&](std::string_view piece) {
    // A piece ends the line or a CR: what it holds is all there is to tell by.
    if (OwnFieldAt(piece).value_or(false))
      starts.push_back(offset);
    offset += piece.size() + 1;
  });
  // From the end, so that each insertion leaves the positions before it valid.
  for (auto at = starts.rbegin(); at != starts.rend(); ++at)
    line.insert(*at + kForgedMarkAt, kForgedMark);
  return !starts.empty();
}

void UnfoldHeader(std::vector<std::string>& lines) {
  size_t kept = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (kept > 0 && IsContinuationLine(lines[i])) {
      lines[kept - 1] += ' ' + Trim(lines[i]);
    } else {
      if (kept != i) {
        lines[kept] = std::move(lines[i]);
      }
      ++kept;
    }
  }
  lines.resize(kept);
}

}  // namespace quillbox

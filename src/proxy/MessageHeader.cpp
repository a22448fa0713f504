#include "proxy/MessageHeader.h"

#include <algorithm>

#include "base/SysUtils.h"
#include "judge/BRegExp.h"

namespace quillbox {
namespace {

constexpr std::string_view kOwnPrefix = "X-Quillbox-";
constexpr std::string_view kForged = "Forged-";

bool StartsWithBlank(std::string_view line) {
  return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

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

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// A run of digits and dots, trailing dots dropped, as an address: four parts of one to three
// digits, each at most 255.
bool IsDottedQuad(std::string_view run) {
  int parts = 0;
  size_t at = 0;
  while (at <= run.size()) {
    const size_t dot = std::min(run.find('.', at), run.size());
    const std::string_view part = run.substr(at, dot - at);
    if (part.empty() || part.size() > 3 || std::stoi(std::string(part)) > 255 || ++parts > 4)
      return false;
    at = dot + 1;
  }
  return parts == 4;
}

}  // namespace

std::optional<TSelectFrom> ParseSelectFrom(std::string_view text) {
  if (SameText(text, "Bottom"))
    return TSelectFrom::kBottom;
  if (SameText(text, "Top"))
    return TSelectFrom::kTop;
  return std::nullopt;
}

bool IsHeaderLine(std::string_view line) {
  bool header = true;
  ForEachPiece(line, [&header](std::string_view piece) {
    header = header && (StartsWithBlank(piece) || IsField(piece));
  });
  return header;
}

bool RenameForgedFields(std::string& line) {
  std::vector<size_t> starts;
  size_t offset = 0;
  ForEachPiece(line, [&](std::string_view piece) {
    if (StartsText(kOwnPrefix, piece))
      starts.push_back(offset);
    offset += piece.size() + 1;
  });
  // From the end, so that each insertion leaves the positions before it valid.
  for (auto at = starts.rbegin(); at != starts.rend(); ++at)
    line.insert(*at + 2, kForged);
  return !starts.empty();
}

void UnfoldHeader(std::vector<std::string>& lines) {
  size_t kept = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (kept > 0 && StartsWithBlank(lines[i])) {
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

std::optional<std::string> SelectReceived(const std::vector<std::string>& unfoldedHeader,
                                          const std::string& matchString, TSelectFrom from,
                                          LogSink& log) {
  const std::string expression = "m" + matchString;
  const auto what = [&matchString] { return "Match string " + matchString; };
  const size_t count = unfoldedHeader.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& line = unfoldedHeader[from == TSelectFrom::kTop ? i : count - 1 - i];
    if (StartsText("Received:", line) && MatchWithinLimits(expression, line, log, what) == 1) {
      return SharedRegExp().Strings(0);
    }
  }
  return std::nullopt;
}

std::optional<std::string> FirstDottedQuad(std::string_view text) {
  const auto inRun = [](char c) { return IsDigit(c) || c == '.'; };
  size_t at = 0;
  while (at < text.size()) {
    if (!inRun(text[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && inRun(text[end]))
      ++end;
    std::string_view run = text.substr(at, end - at);
    while (run.back() == '.')
      run.remove_suffix(1);
    if (!run.empty() && IsDigit(run.front()) && IsDottedQuad(run))
      return std::string(run);
    at = end;
  }
  return std::nullopt;
}

std::vector<std::string> AnnotationLines(const TVerdict& verdict) {
  const bool judged = verdict.Status != TSenderStatus::kUnknown;
  return {"X-Quillbox-Sender-IP-Address: " + (judged ? verdict.Address : "Unextracted"),
          "X-Quillbox-Sender-Hostname: " + (judged ? verdict.HostName : "Unresolved"),
          "X-Quillbox-Lookuped-IP-Address: " + (judged ? verdict.LookupedAddress : "Unresolved"),
          "X-Quillbox-Status: " + StatusText(verdict)};
}

bool TMessageAnnotation::CollectHeader(std::string line) {
  if (IsHeaderLine(line)) {
    header_.push_back(std::move(line));
    return true;
  }
  end_ = std::move(line);
  return false;
}

void TMessageAnnotation::DeliverHeader(const std::vector<std::string>& added,
                                       std::vector<std::string>& out) {
  size_t at = header_.size();
  const auto next = [&](size_t i) -> const std::string* {
    return i < header_.size() ? &header_[i] : (end_ ? &*end_ : nullptr);
  };
  while (at > 0 && next(at) != nullptr && StartsWithBlank(*next(at)))
    --at;
  for (size_t i = 0; i < header_.size(); ++i) {
    if (i == at)
      out.insert(out.end(), added.begin(), added.end());
    RenameForgedFields(header_[i]);
    out.push_back(std::move(header_[i]));
  }
  if (at == header_.size())
    out.insert(out.end(), added.begin(), added.end());
  header_.clear();
  if (end_) {
    DeliverLine(*end_);
    out.push_back(std::move(*end_));
    end_.reset();
  }
}

void TMessageAnnotation::DeliverLine(std::string& line) {
  if (!beforeEmptyLine_)
    return;
  if (line.empty())
    beforeEmptyLine_ = false;
  else
    RenameForgedFields(line);
}

std::vector<std::string> AnnotateMessage(std::vector<std::string> message,
                                         const std::vector<std::string>& added) {
  TMessageAnnotation annotation;
  size_t next = 0;
  while (next < message.size() && annotation.CollectHeader(std::move(message[next++]))) {
  }
  std::vector<std::string> out;
  out.reserve(message.size() + added.size());
  annotation.DeliverHeader(added, out);
  for (; next < message.size(); ++next) {
    annotation.DeliverLine(message[next]);
    out.push_back(std::move(message[next]));
  }
  return out;
}

}  // namespace quillbox

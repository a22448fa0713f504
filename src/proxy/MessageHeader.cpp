#include "proxy/MessageHeader.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>

#include <algorithm>
#include <cctype>
#include <iterator>

#include "base/Exception.h"
#include "base/SysUtils.h"
#include "judge/BRegExp.h"
#include "net/IdStack.h"

namespace quillbox {
namespace {

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

// Calls take(start, end) for each longest run of characters that inRun accepts, from the first
// on, until it gives an address.
template <class InRun, class Take>
std::optional<std::string> FirstInRuns(std::string_view text, InRun inRun, Take take) {
  size_t at = 0;
  while (at < text.size()) {
    if (!inRun(text[at])) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < text.size() && inRun(text[end]))
      ++end;
    if (auto address = take(at, end))
      return address;
    at = end;
  }
  return std::nullopt;
}

bool IsHexDigit(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool InIPv6Run(char c) {
  return IsHexDigit(c) || c == ':' || c == '.';
}

// A character that makes a run part of a word or a name, or gives it a zone id.
bool ContinuesWord(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '%';
}

// The address a candidate run stands for, if it is one.
std::optional<std::string> IPv6Candidate(std::string_view run) {
  while (!run.empty() && run.back() == '.')
    run.remove_suffix(1);
  const auto bytes = ParseIPv6(run);
  if (!bytes || *bytes == TIPv6Bytes{})
    return std::nullopt;
  constexpr uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!std::equal(std::begin(kMapped), std::end(kMapped), bytes->begin()))
    return IPv6Text(*bytes);
  std::string quad;
  for (size_t i = 12; i < 16; ++i)
    quad += (i > 12 ? "." : "") + std::to_string((*bytes)[i]);
  return quad;
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
    if (StartsText(kOwnFieldPrefix, piece))
      starts.push_back(offset);
    offset += piece.size() + 1;
  });
  // From the end, so that each insertion leaves the positions before it valid.
  for (auto at = starts.rbegin(); at != starts.rend(); ++at)
    line.insert(*at + 2, kForgedMark);
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
  return FirstInRuns(text, inRun, [&](size_t at, size_t end) -> std::optional<std::string> {
    std::string_view run = text.substr(at, end - at);
    while (!run.empty() && run.back() == '.')
      run.remove_suffix(1);
    // Compared and shown in one form: "198.051.100.002" is the address the lookups give back
    // as 198.51.100.2.
    return CanonicalDottedIPv4(std::string(run));
  });
}

std::optional<std::string> FirstIPv6Address(std::string_view text) {
  constexpr std::string_view kPrefix = "IPv6:";
  return FirstInRuns(text, InIPv6Run, [&](size_t at, size_t end) -> std::optional<std::string> {
    // "IPv6:2001:db8::1" reads as a run "6:2001:db8::1" after a word "IPv".
    size_t start = at;
    if (at >= 3 && end - at > 2 && StartsText(kPrefix, text.substr(at - 3)))
      start = at + 2;
    const bool alone = (start > at || at == 0 || !ContinuesWord(text[at - 1])) &&
                       (end == text.size() || !ContinuesWord(text[end]));
    return alone ? IPv6Candidate(text.substr(start, end - start)) : std::nullopt;
  });
}

std::optional<std::string> SenderAddress(std::string_view text) {
  if (auto quad = FirstDottedQuad(text))
    return quad;
  return FirstIPv6Address(text);
}

THeaderDigest HeaderDigest(const std::vector<std::string>& header) {
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                        &EVP_MD_CTX_free);
  THeaderDigest digest{};
  bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
  for (const std::string& line : header) {
    const uint64_t length = line.size();
    ok = ok && EVP_DigestUpdate(context.get(), &length, sizeof length) == 1 &&
         EVP_DigestUpdate(context.get(), line.data(), line.size()) == 1;
  }
  unsigned int size = 0;
  if (!ok || EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1 || size != digest.size())
    throw Exception("SHA-256 is not available");
  return digest;
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

void TMessageAnnotation::DeliverUnendedHeader(const std::vector<std::string>& added,
                                              std::vector<std::string>& out) {
  out.insert(out.end(), added.begin(), added.end());
  for (std::string& line : header_) {
    RenameForgedFields(line);
    out.push_back(std::move(line));
  }
  header_.clear();
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

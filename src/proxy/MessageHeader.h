#pragma once

// The header path of a retrieval as pure text work on the lines of a message (unstuffed, without
// their line ends): where the header ends, which Received: line names the sender and its address,
// and how the verdict goes in. Nothing here touches a socket, so RETR, TOP and any look-ahead
// share it, and a fuzzer can drive it.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/LogSink.h"
#include "judge/Verdict.h"

namespace quillbox {

// Which end of the header the walk for the Received: line starts from (rule file key
// [S25R] SelectFrom). Top finds the newest line first: one that the provider's own servers wrote.
enum class TSelectFrom { kBottom, kTop };

// "Bottom" or "Top" in any letter case; nothing for any other text.
std::optional<TSelectFrom> ParseSelectFrom(std::string_view text);

// True for a line that a mail reader takes as part of a header: a field ("name:" with a name of
// printable characters) or a continuation line (beginning with a blank or a tab). Some readers
// also break lines at a lone carriage return, so a line holding one is a header line only when
// every piece between its carriage returns is one: a piece that is empty ends their header.
bool IsHeaderLine(std::string_view line);

// Quillbox owns the field names that begin with kOwnFieldPrefix: wherever such a name begins a
// line (or a piece after a lone carriage return), kForgedMark goes in after its first two
// characters ("x-quillbox-status:" becomes "x-Forged-quillbox-status:"). Every other byte stays.
// True when something was renamed.
inline constexpr std::string_view kOwnFieldPrefix = "X-Quillbox-";  // in any letter case
inline constexpr std::string_view kForgedMark = "Forged-";
bool RenameForgedFields(std::string& line);

// Joins each continuation line (one that begins with a blank or a tab) to the line before it,
// trimmed and after one blank, so that every header field is one line. A first line that
// begins with a blank has nothing to join and stays as it is.
void UnfoldHeader(std::vector<std::string>& lines);

// The part of the unfolded header's Received: line that "m" + matchString selects: the first
// line, walking from the given end, that begins with "Received:" (any letter case) and matches.
// A line the matcher gives up on does not match (log says so). Raises EBRegExpError for a match
// string that cannot be used.
std::optional<std::string> SelectReceived(const std::vector<std::string>& unfoldedHeader,
                                          const std::string& matchString, TSelectFrom from,
                                          LogSink& log);

// The first dotted quad in text: four parts of one to three digits, each at most 255, joined by
// dots, standing alone (no digit or dot right before it, no digit or ".digit" right after it).
// A run that looks like one but is not (999.1.1.1, 1.2.3.4444, 1.2.3.4.5, 0377.1.1.1) is
// skipped: an address the provider wrote is always valid, so such a run is the sender's text.
// The result is the canonical text (CanonicalDottedIPv4: 198.051.100.002 is 198.51.100.2).
std::optional<std::string> FirstDottedQuad(std::string_view text);

// The first IPv6 address in text, as mail servers write one: with an "IPv6:" prefix (any
// letter case) or none, inside brackets or not. A candidate is a run of hexadecimal digits,
// colons and dots (trailing dots dropped) that does not continue a word, is followed by nothing
// that continues one (a letter, digit, "-", "_" or "%": a zone id such as "%eth0" refuses the
// address) and that inet_pton reads; "::" (no address at all) is skipped. Times and words
// (12:30:45, "cafe") are no addresses. The result is the canonical text (IPv6Text), or for an
// IPv4-mapped address (::ffff:c000:201) its dotted quad.
std::optional<std::string> FirstIPv6Address(std::string_view text);

// The sender's address in the text a match string selected: the first dotted quad
// (FirstDottedQuad: it wins wherever it stands, ::ffff:192.0.2.1 gives 192.0.2.1) or, in text
// without one, the first IPv6 address (FirstIPv6Address). The result is the address's key.
std::optional<std::string> SenderAddress(std::string_view text);

// What identifies a header without holding it: the SHA-256 of its lines, each with its length.
// Two different headers that give the same digest cannot be made.
using THeaderDigest = std::array<unsigned char, 32>;
THeaderDigest HeaderDigest(const std::vector<std::string>& header);

// The four lines Quillbox adds, in their order.
std::vector<std::string> AnnotationLines(const TVerdict& verdict);

// One message on its way to the client: its header is collected until its end, then delivered
// with forged names renamed and the four lines in place; every later line is delivered as it
// came, but renamed while no empty line has passed (some readers take everything up to the first
// empty line for the header). Not thread-safe; one per message.
class TMessageAnnotation {
 public:
  // Takes the message's next line while the header lasts. The first line that is no header line
  // ends the header; it is kept, and false says that the header is complete.
  bool CollectHeader(std::string line);
  // The header lines collected, without the line that ended the header.
  const std::vector<std::string>& Header() const { return header_; }

  // Appends to out the header with the four added lines, and the line that ended the header.
  // The added lines go where the header ends, moved up over any continuation lines that stand
  // there, so that they neither split a folded field nor become one's continuation.
  void DeliverHeader(const std::vector<std::string>& added, std::vector<std::string>& out);
  // A line after those, as it is delivered.
  void DeliverLine(std::string& line);
  // Whether DeliverLine still renames: no empty line has passed.
  bool BeforeEmptyLine() const { return beforeEmptyLine_; }

  // For a header too long to hold whole, whose collection stopped before its end: appends the
  // four lines, then the header lines collected. The added lines go first because where the
  // header ends is not known; every field of Quillbox's names that follows is renamed by
  // DeliverLine, or by whatever passes on the rest, before the first empty line.
  void DeliverUnendedHeader(const std::vector<std::string>& added, std::vector<std::string>& out);

 private:
  std::vector<std::string> header_;
  std::optional<std::string> end_;  // the line that ended the header
  bool beforeEmptyLine_ = true;
};

// A whole message as delivered with the added lines.
std::vector<std::string> AnnotateMessage(std::vector<std::string> message,
                                         const std::vector<std::string>& added);

}  // namespace quillbox

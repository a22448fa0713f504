#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/LogSink.h"

namespace quillbox {

// What the judgment found out about the host that handed a message to the user's provider.
enum class TSenderStatus {
  kUnknown,               // no sender address was found in the header; nothing was judged
  kNormal,                // every check passed and no rule matched
  kRuleMatched,           // the host name matched an S25R rule (TVerdict::Rule)
  kReverseLookupFailure,  // the address has no host name
  kForwardLookupFailure,  // the host name has no address of the sender's family at the DNS server
  kParanoidCheckFailure,  // the host name's addresses do not include the sender's; no rule matched
};

// What made a sender Normal that its judgment did not find so: an entry of an allow list, or a
// DNS allow list that lists the sender's address.
struct TAllowedBy {
  std::string List;   // the list's name as the log gives it ("S25R_Allow.txt"), or the DNS zone
  int Line = 0;       // the entry's line, from 1; 0 for a DNS zone
  std::string Entry;  // the entry as it stands in the list; for a DNS zone the address it answered
  TSenderStatus Status = TSenderStatus::kUnknown;  // the status without the allow lists
  int Rule = 0;                                    // and its rule (kRuleMatched)

  bool operator==(const TAllowedBy&) const = default;
};

// The verdict on one message's sender. A plain value: copy it freely between threads.
struct TVerdict {
  TSenderStatus Status = TSenderStatus::kUnknown;
  int Rule = 0;                 // kRuleMatched: the rule's line number, from 1
  std::string Address;          // the judged address (IPv6 in canonical text); empty for kUnknown
  std::string HostName;         // from the reverse lookup; empty when it failed
  std::string LookupedAddress;  // from the forward lookup; empty when it gave none
  // Seconds the forward lookup's answer may be kept (its records' smallest TTL); none when it
  // gave no address.
  std::optional<uint32_t> ForwardTTL;
  // A lookup got no answer that settles it (no reply in time, a name service that did not
  // answer, a server failure): asked again, it may go otherwise, so the verdict is not kept.
  bool Transient = false;
  // The host name's forward addresses include the sender's (the paranoid check passed, whatever
  // a rule said): only such a name can be vouched for by its allow-list entry.
  bool ForwardConfirmed = false;
  // Set when an allow list made the verdict Normal.
  std::optional<TAllowedBy> AllowedBy;
  // Taken from the verdicts kept across sessions instead of judged for this message's session.
  bool Cached = false;

  bool operator==(const TVerdict&) const = default;
};

// The value of the X-Quillbox-Status: line: "Normal", "S25R Rule N", "Reverse lookup failure",
// "Forward lookup failure", "Paranoid check failure" or "Unknown".
std::string StatusText(const TVerdict& verdict);
std::string StatusText(TSenderStatus status, int rule);

// Whether an allow list may change the verdict: a sender was judged, not Normal, and no list
// allowed it yet.
bool Allowable(const TVerdict& verdict);

// Makes the verdict Normal by the entry given, its own status and rule kept in AllowedBy, and
// writes that to log.
void Allow(TVerdict& verdict, std::string list, int line, std::string entry, LogSink& log);

// The log line of a sender that an allow list made Normal: "   P    Allowed by S25R_Allow.txt
// line 7 (.google.com): would be S25R Rule 1"; a DNS zone is named without a line.
std::string AllowedLine(const TAllowedBy& allowed);

}  // namespace quillbox

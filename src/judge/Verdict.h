#pragma once

#include <cstdint>
#include <optional>
#include <string>

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

  bool operator==(const TVerdict&) const = default;
};

// The value of the X-Quillbox-Status: line: "Normal", "S25R Rule N", "Reverse lookup failure",
// "Forward lookup failure", "Paranoid check failure" or "Unknown".
std::string StatusText(const TVerdict& verdict);

}  // namespace quillbox

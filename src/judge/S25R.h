#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/LogSink.h"
#include "judge/IdDNSResolver.h"
#include "judge/Verdict.h"
#include "net/IdStack.h"

namespace quillbox {

// What a forward lookup found.
struct TForwardLookup {
  std::vector<std::string> Addresses;  // IPv6 ones in their canonical text (IPv6Text)
  // The smallest TTL of the records that gave Addresses and of the aliases that led to them, in
  // seconds: how long the answer may be kept. None when there is no address.
  std::optional<uint32_t> TTL;
  // The server answered, with addresses, no data or "no such name" (not a failure or silence).
  bool Settled = false;
};

// The S25R verdict on the host that handed a message to the user's provider: reverse lookup,
// forward lookup at the user's DNS server, paranoid check, then the rules.
//
// Thread-safe: every call uses only the rules, resolver, stack and log it is given and the
// calling thread's matcher, so the judgments of one connection may run on several threads at
// once.
class TS25RJudgment {
 public:
  virtual ~TS25RJudgment() = default;

  // The rules of a rules file's text, one a line (CR LF or LF; stray CRs dropped; every line
  // counts, blank ones too; a final line break adds none).
  static std::vector<std::string> RulesFromText(std::string_view text);

  // The addresses of hostName at dnsServer that records of type (qtA or qtAAAA) in the answer
  // give, for the name or the end of its CNAME chain, in the order of the reply; none on any
  // failure, which is not reported.
  TForwardLookup HostNameToIPAddresses(TIdDNSResolver& resolver, const std::string& dnsServer,
                                       const std::string& hostName, TQueryRecordTypes type);

  // The verdict on address (never kUnknown), without any allow list: a dotted quad, or an IPv6
  // address (any text with a colon), whose name is then looked up forward for AAAA records and
  // compared by canonical text.
  // Lines go to log: the host name found, and any rule the matcher gave up on. A rule the matcher
  // rejects raises EBRegExpError. The forward lookup's whole answer goes to forward when given
  // (none was made when the reverse lookup failed), for a report that shows every address.
  TVerdict CheckByS25R(LogSink& log, TIdDNSResolver& resolver, TIdStack& stack,
                       const std::string& dnsServer, const std::vector<std::string>& rules,
                       const std::string& address, TForwardLookup* forward = nullptr);

  // The number (from 1) of the first rule that hostName matches, or 0. A rule the matcher gives
  // up on (the host name is the sender's choice) does not match; log says which.
  static int FirstMatchingRule(const std::vector<std::string>& rules, const std::string& hostName,
                               LogSink& log);
};

}  // namespace quillbox

#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillbox {

// What an unfolded Received: line says about one hop, read the way mail servers write it:
// "from NAME (COMMENT) by HOST ..." in the forms of the common servers (the address in brackets
// or in parentheses, "helo=" and "HELO" inside them, the receiving host's own address after it).
// A line a sender wrote may say anything; nothing here decides a verdict, it only explains one
// and proposes match strings, which the proxy's own selection then checks.
struct TReceivedHop {
  bool HasFrom = false;                    // the line names a sending host
  std::vector<std::string> FromNames;      // host names in the from part, lower case, no final dot
  std::optional<std::string> FromAddress;  // as the proxy reads it from the from part
  std::string By;                          // the receiving host, lower case, no final dot
  std::optional<std::string> ByAddress;    // the receiving host's own address, when written
};
TReceivedHop ParseReceived(std::string_view line);

// The domain a host name belongs to, as its owner registered it: the last two labels, or three
// under a two-letter country code whose second level is short ("example.ne.jp", "example.co.uk").
// The name itself when it has fewer labels.
std::string RegistrableDomain(std::string_view host);

// An address no host outside the provider's network hands mail from: loopback, private
// (RFC 1918, unique-local), link-local or shared (100.64.0.0/10).
bool IsInternalAddress(const std::string& address);

}  // namespace quillbox

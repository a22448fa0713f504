#pragma once

#include <optional>
#include <string>

namespace quillbox {

// The special-purpose block (RFC 6890 and its registries) that an address falls in, as a short
// name a person reads: "loopback", "private", "link-local", "shared", "documentation",
// "benchmarking", "multicast", "reserved", "this network", "broadcast", "unique-local",
// "unspecified", "IPv4 translation", "discard", "IETF protocol", "6to4". Nothing for an address
// of the ordinary global space, and for a text that is no address (a dotted quad, or IPv6 with a
// colon). A host that handed mail to a provider from outside never has such an address, so a
// sender judged with one means the wrong Received: line was selected. Pure; thread-safe.
std::optional<std::string> SpecialPurposeBlock(const std::string& address);

}  // namespace quillbox

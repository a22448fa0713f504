#pragma once

// The sender's address in the text that a match string selected from a Received: line.

#include <optional>
#include <string>
#include <string_view>

namespace quillbox {

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

}  // namespace quillbox

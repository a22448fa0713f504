#pragma once

#include <string>

namespace quillbox {

// Whether a client at this peer address (as the socket layer writes it) is on this machine:
// 127.0.0.1 or ::1, in any text of the address, the IPv4 one mapped into IPv6 (::ffff:127.0.0.1)
// included. Every other address is outside, the other loopback addresses too (127.0.0.2): a port
// forwarded from anywhere may arrive on them. Thread-safe.
bool IsLocalClient(const std::string& peerIP);

}  // namespace quillbox

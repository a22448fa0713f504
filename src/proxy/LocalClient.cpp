#include "proxy/LocalClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "net/IdStack.h"

namespace quillbox {

bool IsLocalClient(const std::string& peerIP) {
  if (peerIP.find(':') == std::string::npos)
    return IsDottedIPv4(peerIP) && IPv4ForLookup(peerIP) == htonl(INADDR_LOOPBACK);
  constexpr TIPv6Bytes kLoopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  constexpr TIPv6Bytes kMappedLoopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
  const auto address = ParseIPv6(peerIP);
  return address && (*address == kLoopback || *address == kMappedLoopback);
}

}  // namespace quillbox

#include "judge/ReservedBlocks.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "net/IdStack.h"

namespace quillbox {
namespace {

struct TBlock {
  std::array<uint8_t, 16> Prefix;  // IPv4 blocks in the first four bytes
  int Length;
  const char* Name;
};

// The most specific block first where blocks nest (2001:db8::/32 lies inside no other here, but
// 2001:2::/48 lies inside 2001::/23).
constexpr TBlock kIPv4Blocks[] = {
    {{0}, 8, "this network"},
    {{10}, 8, "private"},
    {{100, 64}, 10, "shared"},
    {{127}, 8, "loopback"},
    {{169, 254}, 16, "link-local"},
    {{172, 16}, 12, "private"},
    {{192, 0, 0}, 24, "IETF protocol"},
    {{192, 0, 2}, 24, "documentation"},
    {{192, 88, 99}, 24, "6to4"},
    {{192, 168}, 16, "private"},
    {{198, 18}, 15, "benchmarking"},
    {{198, 51, 100}, 24, "documentation"},
    {{203, 0, 113}, 24, "documentation"},
    {{224}, 4, "multicast"},
    {{255, 255, 255, 255}, 32, "broadcast"},
    {{240}, 4, "reserved"},
};

constexpr TBlock kIPv6Blocks[] = {
    {{0}, 128, "unspecified"},
    {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128, "loopback"},
    {{0, 0x64, 0xff, 0x9b}, 96, "IPv4 translation"},
    {{0x01}, 64, "discard"},
    {{0x20, 0x01, 0x0d, 0xb8}, 32, "documentation"},
    {{0x20, 0x01, 0x00, 0x02}, 48, "benchmarking"},
    {{0x20, 0x01}, 23, "IETF protocol"},
    {{0x20, 0x02}, 16, "6to4"},
    {{0xfc}, 7, "unique-local"},
    {{0xfe, 0x80}, 10, "link-local"},
    {{0xff}, 8, "multicast"},
};

bool InBlock(const std::array<uint8_t, 16>& address, const TBlock& block) {
  for (int bit = 0; bit < block.Length; ++bit) {
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    if ((address[bit / 8] & mask) != (block.Prefix[bit / 8] & mask))
      return false;
  }
  return true;
}

template <size_t N>
std::optional<std::string> Find(const std::array<uint8_t, 16>& address, const TBlock (&blocks)[N]) {
  for (const TBlock& block : blocks) {
    if (InBlock(address, block))
      return block.Name;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> SpecialPurposeBlock(const std::string& address) {
  if (address.find(':') != std::string::npos) {
    const auto bytes = ParseIPv6(address);
    if (!bytes)
      return std::nullopt;
    // An IPv4-mapped address is the IPv4 host's.
    static constexpr std::array<uint8_t, 12> kMapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::equal(kMapped.begin(), kMapped.end(), bytes->begin())) {
      return Find({(*bytes)[12], (*bytes)[13], (*bytes)[14], (*bytes)[15]}, kIPv4Blocks);
    }
    return Find(*bytes, kIPv6Blocks);
  }
  const auto canonical = CanonicalDottedIPv4(address);
  if (!canonical)
    return std::nullopt;
  const uint32_t host = IPv4ForLookup(*canonical);  // network byte order
  const auto* octets = reinterpret_cast<const uint8_t*>(&host);
  return Find({octets[0], octets[1], octets[2], octets[3]}, kIPv4Blocks);
}

}  // namespace quillbox

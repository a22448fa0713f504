#include "judge/AllowList.h"

#include <algorithm>
#include <cstring>

#include "net/IdStack.h"

namespace quillbox {
namespace {

constexpr size_t kMaxNameLength = 253;
constexpr size_t kMaxLabelLength = 63;
// An IPv4-mapped IPv6 network of at least this prefix length is an IPv4 network.
constexpr int kMappedPrefix = 96;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// What stands before a comment, without the blanks around it.
std::string_view EntryOf(std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || IsBlank(line[i - 1]))) {
      line = line.substr(0, i);
      break;
    }
  }
  while (!line.empty() && IsBlank(line.front()))
    line.remove_prefix(1);
  while (!line.empty() && IsBlank(line.back()))
    line.remove_suffix(1);
  return line;
}

// A match expression begins with its delimiter, which no address or name begins with.
bool IsExpression(std::string_view entry) {
  const char c = entry.front();
  return !IsAlnum(c) && std::strchr(".:-_[", c) == nullptr;
}

// An address as two halves, IPv4 in the low 32 bits.
struct TAddress {
  uint64_t high = 0, low = 0;
  bool ipv6 = false;
};

// An IPv6 address text, or a dotted quad read in decimal, as the reverse lookup reads it.
std::optional<TAddress> ParseAddress(std::string_view text) {
  if (text.find(':') == std::string_view::npos) {
    const auto quad = ParseDottedIPv4(text);
    return quad ? std::optional(TAddress{0, *quad, false}) : std::nullopt;
  }
  const auto bytes = ParseIPv6(text);
  if (!bytes)
    return std::nullopt;
  TAddress address{0, 0, true};
  for (size_t i = 0; i < 8; ++i) {
    address.high = address.high << 8 | (*bytes)[i];
    address.low = address.low << 8 | (*bytes)[i + 8];
  }
  return address;
}

int Bits(const TAddress& address) {
  return address.ipv6 ? 128 : 32;
}

bool IsMapped(const TAddress& address) {
  return address.ipv6 && address.high == 0 && address.low >> 32 == 0xffff;
}

TAddress Unmapped(const TAddress& address) {
  return IsMapped(address) ? TAddress{0, address.low & 0xffffffff, false} : address;
}

// The bits of a 64-bit half that a prefix of length keeps, the half starting at bit first.
uint64_t Mask(int length, int first, int bits) {
  const int kept = std::clamp(length - first, 0, bits);
  return kept == 0 ? 0 : ~0ULL << (64 - kept) >> (64 - bits);
}

TAddress Masked(TAddress address, int length) {
  if (address.ipv6) {
    address.high &= Mask(length, 0, 64);
    address.low &= Mask(length, 64, 64);
  } else {
    address.low &= Mask(length, 0, 32);
  }
  return address;
}

std::string AddressText(const TAddress& address) {
  if (!address.ipv6) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8)
      text += std::to_string(address.low >> shift & 0xff) + (shift ? "." : "");
    return text;
  }
  TIPv6Bytes bytes{};
  for (size_t i = 0; i < 8; ++i) {
    bytes[i] = static_cast<uint8_t>(address.high >> (56 - 8 * i));
    bytes[i + 8] = static_cast<uint8_t>(address.low >> (56 - 8 * i));
  }
  return IPv6Text(bytes);
}

std::string Quote(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

size_t Labels(std::string_view name) {
  return static_cast<size_t>(std::count(name.begin(), name.end(), '.')) + 1;
}

// A host name as the domains and names are kept: lower case, without a final dot. Whatever else
// it holds matches no entry, which are all valid names.
std::string_view LookupName(std::string_view host, std::string& buffer) {
  if (!host.empty() && host.back() == '.')
    host.remove_suffix(1);
  buffer.assign(host);
  for (char& c : buffer) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
  return buffer;
}

}  // namespace

std::optional<std::string> SenderAddressBytes(std::string_view text) {
  const auto address = ParseAddress(text);
  if (!address)
    return std::nullopt;
  const TAddress sender = Unmapped(*address);
  std::string bytes;
  for (int shift = Bits(sender) - 8; shift >= 0; shift -= 8)
    bytes += static_cast<char>((shift >= 64 ? sender.high >> (shift - 64) : sender.low >> shift));
  return bytes;
}

std::optional<std::string> NormalDomainName(std::string_view text) {
  if (!text.empty() && text.back() == '.')
    text.remove_suffix(1);
  if (text.empty() || text.size() > kMaxNameLength)
    return std::nullopt;
  std::string name;
  name.reserve(text.size());
  size_t label = 0;
  for (const char c : text) {
    if (c == '.') {
      if (label == 0)
        return std::nullopt;
      label = 0;
    } else if ((!IsAlnum(c) && c != '-' && c != '_') || ++label > kMaxLabelLength) {
      return std::nullopt;
    }
    name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  if (label == 0)
    return std::nullopt;
  return name;
}

TAllowList::TAllowList(std::string name, std::string_view content) : name_(std::move(name)) {
  int number = 0;
  while (!content.empty()) {
    const size_t end = content.find('\n');
    const std::string_view line = content.substr(0, end);
    content = end == std::string_view::npos ? std::string_view() : content.substr(end + 1);
    ++number;
    const std::string_view entry = EntryOf(line);
    if (entry.empty())
      continue;
    if (auto problem = Add(number, entry)) {
      if (problems_.size() < kMaxProblems)
        problems_.push_back({number, std::move(*problem)});
      ++skipped_;
    }
  }
  expressions_.Finish();
  keys_.Reserve(names_.size() + domains_.size() + ipv4_.index.size() + ipv6_.index.size());
  for (const TNameIndex* index : {&names_, &domains_}) {
    for (const auto& [key, entry] : *index)
      keys_.Add(TextHash()(key));
  }
  for (const TNetworks* networks : {&ipv4_, &ipv6_}) {
    for (const auto& [key, entry] : networks->index)
      keys_.Add(NetworkHash()(key));
  }
}

void TAllowList::TKeyFilter::Reserve(size_t keys) {
  // About 16 bits a key, two of them set: one key in a hundred the list lacks passes.
  size_t bits = 64;
  while (bits < keys * 16 && bits < (size_t{1} << 24))
    bits *= 2;
  bits_.assign(bits / 64, 0);
  mask_ = bits - 1;
}

void TAllowList::TKeyFilter::Add(size_t hash) {
  const size_t second = (hash * 0x9e3779b97f4a7c15ULL) >> 17;
  bits_[(hash & mask_) / 64] |= uint64_t{1} << (hash & 63);
  bits_[(second & mask_) / 64] |= uint64_t{1} << (second & 63);
}

bool TAllowList::TKeyFilter::MayHold(size_t hash) const {
  if (bits_.empty())
    return false;
  const size_t second = (hash * 0x9e3779b97f4a7c15ULL) >> 17;
  return (bits_[(hash & mask_) / 64] >> (hash & 63) & 1) != 0 &&
         (bits_[(second & mask_) / 64] >> (second & 63) & 1) != 0;
}

std::string TAllowList::SizeText() const {
  return std::to_string(Size()) + (Size() == 1 ? " entry" : " entries");
}

std::optional<std::string> TAllowList::Add(int line, std::string_view text) {
  if (text.size() > kMaxEntryLength)
    return "longer than " + std::to_string(kMaxEntryLength) + " characters";
  const size_t entry = entries_.size();
  if (IsExpression(text)) {
    if (auto problem = AddExpression(entry, text))
      return problem;
  } else if (text.front() == '.') {
    const auto domain = NormalDomainName(text.substr(1));
    if (!domain)
      return Quote(text) + " is no valid domain";
    if (domain->find('.') == std::string::npos)
      return Quote(text) + " is a top-level domain: it would allow every name below it";
    domains_.emplace(*domain, entry);
    domainLevels_.set(std::min(Labels(*domain), domainLevels_.size() - 1));
  } else if (text.find_first_of("/:") != std::string_view::npos ||
             text.find_first_not_of("0123456789.") == std::string_view::npos) {
    if (auto problem = AddNetwork(entry, text))
      return problem;
  } else {
    const auto name = NormalDomainName(text);
    if (!name) {
      return Quote(text) +
             " is no address, network, domain (.example.com), host name or match expression";
    }
    names_.emplace(*name, entry);
  }
  entries_.push_back({line, std::string(text)});
  return std::nullopt;
}

std::optional<std::string> TAllowList::AddExpression(size_t entry, std::string_view text) {
  try {
    expressions_.Add("m" + std::string(text), entry);
  } catch (const EBRegExpError& e) {
    return Quote(text) + " is no valid match expression: " + e.Message();
  }
  return std::nullopt;
}

std::optional<std::string> TAllowList::AddNetwork(size_t entry, std::string_view text) {
  const size_t slash = text.rfind('/');
  const std::string_view written = text.substr(0, slash);
  const bool ipv6 = written.find(':') != std::string_view::npos;
  const auto address = ParseAddress(written);
  if (!address)
    return Quote(written) + " is no valid " + (ipv6 ? "IPv6" : "IPv4") + " address";
  const int bits = Bits(*address);
  int length = bits;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    length = digits.empty() || digits.size() > 3 ||
                     digits.find_first_not_of("0123456789") != std::string_view::npos
                 ? -1
                 : std::stoi(std::string(digits));
    if (length < 0 || length > bits)
      return Quote(text) + " has no valid prefix length (0 to " + std::to_string(bits) + ")";
  }
  TAddress network = Masked(*address, length);
  if (network.high != address->high || network.low != address->low) {
    return Quote(text) + " has host bits set (the network is " + AddressText(network) + "/" +
           std::to_string(length) + ")";
  }
  if (length >= kMappedPrefix && IsMapped(network)) {
    network = Unmapped(network);
    length -= kMappedPrefix;
  }
  TNetworks& networks = network.ipv6 ? ipv6_ : ipv4_;
  networks.index.emplace(TNetwork{network.high, network.low, length}, entry);
  if (std::find(networks.lengths.begin(), networks.lengths.end(), length) ==
      networks.lengths.end()) {
    networks.lengths.push_back(length);
    std::sort(networks.lengths.rbegin(), networks.lengths.rend());
  }
  return std::nullopt;
}

std::optional<size_t> TAllowList::FindByAddress(const std::string& text) const {
  const auto address = ParseAddress(text);
  if (!address)
    return std::nullopt;
  const TAddress sender = Unmapped(*address);
  const TNetworks& networks = sender.ipv6 ? ipv6_ : ipv4_;
  for (const int length : networks.lengths) {
    const TAddress masked = Masked(sender, length);
    const TNetwork network{masked.high, masked.low, length};
    if (!keys_.MayHold(NetworkHash()(network)))
      continue;
    if (const auto found = networks.index.find(network); found != networks.index.end())
      return found->second;
  }
  return std::nullopt;
}

std::optional<size_t> TAllowList::FindByName(const std::string& hostName, LogSink& log) const {
  thread_local std::string buffer;
  std::string_view level = LookupName(hostName, buffer);
  if (keys_.MayHold(TextHash()(level))) {
    if (const auto found = names_.find(level); found != names_.end())
      return found->second;
  }
  for (size_t labels = Labels(level); !domains_.empty();) {
    if (domainLevels_[std::min(labels, domainLevels_.size() - 1)] &&
        keys_.MayHold(TextHash()(level))) {
      if (const auto found = domains_.find(level); found != domains_.end())
        return found->second;
    }
    const size_t dot = level.find('.');
    if (dot == std::string_view::npos)
      break;
    level.remove_prefix(dot + 1);
    --labels;
  }
  return expressions_.First(hostName, [&](size_t entry, const EBRegExpLimitError& e) {
    const TEntry& given = entries_[entry];
    LogMatchLimit(log, name_ + " line " + std::to_string(given.Line) + " " + given.Text, e);
  });
}

const TAllowList::TEntry* TAllowList::Find(const std::string& address, const std::string& hostName,
                                           bool confirmed, LogSink& log) const {
  auto found = FindByAddress(address);
  if (!found && confirmed && !hostName.empty())
    found = FindByName(hostName, log);
  return found ? &entries_[*found] : nullptr;
}

void TAllowList::Apply(TVerdict& verdict, LogSink& log) const {
  if (!Allowable(verdict))
    return;
  if (const TEntry* entry = Find(verdict.Address, verdict.HostName, verdict.ForwardConfirmed, log))
    Allow(verdict, name_, entry->Line, entry->Text, log);
}

}  // namespace quillbox

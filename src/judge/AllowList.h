#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/LogSink.h"
#include "judge/BRegExp.h"
#include "judge/ExpressionList.h"
#include "judge/Verdict.h"

namespace quillbox {

// A DNS name as the lists compare it: lower case, without a final dot. None when text is no
// name: labels of letters, digits, '-' and '_', each of 1 to 63, 253 characters in all at most.
std::optional<std::string> NormalDomainName(std::string_view text);

// The bytes of a sender's address text: 4 for IPv4 (a dotted quad read in decimal, as the reverse
// lookup reads it, or an IPv4-mapped IPv6 address), 16 for IPv6; none for any other text.
std::optional<std::string> SenderAddressBytes(std::string_view address);

// Senders whose verdict is Normal however their names look, from the text of an allow list: one
// entry a line; a '#' at the start of a line or after a blank starts a comment; blanks around an
// entry and blank lines are ignored. An entry is an address (IPv4 or IPv6, any text form), a
// network ("198.51.100.0/24", "2001:db8::/32"), a domain with a leading dot (that name and every
// name below it), one host name, or a match expression tested against the host name as a rule
// is. An address or a network allows by the sender's address, whatever the lookups found; the
// others allow only a host name whose forward addresses include the sender's, so that nobody
// gets onto the list by writing an allowed name into his own PTR record. An IPv4-mapped IPv6
// address is the IPv4 address. Finding a sender costs one hash lookup per prefix length in use
// and one or two per level of the host name; the expressions are tried after those, in order.
//
// Immutable once made: thread-safe.
class TAllowList {
 public:
  struct TEntry {
    int Line = 0;      // from 1
    std::string Text;  // as it stands in the list
  };
  // A line that cannot be used: the list goes on without it.
  struct TProblem {
    int Line = 0;
    std::string Reason;
  };
  static constexpr size_t kMaxEntryLength = 1000;
  // Problems kept for the log; a file of garbage would give one for each of its lines.
  static constexpr size_t kMaxProblems = 100;

  TAllowList() = default;
  // name: how the log names the list ("S25R_Allow.txt").
  TAllowList(std::string name, std::string_view content);
  TAllowList(TAllowList&&) = default;
  TAllowList& operator=(TAllowList&&) = delete;

  const std::string& Name() const { return name_; }
  size_t Size() const { return entries_.size(); }
  // "1 entry", "14 entries": the size as the log gives it.
  std::string SizeText() const;
  // The first kMaxProblems lines skipped, and how many were skipped in all.
  const std::vector<TProblem>& Problems() const { return problems_; }
  size_t Skipped() const { return skipped_; }

  // The entry that allows the sender at address (the verdict's text) named hostName (empty: the
  // reverse lookup found none), confirmed when the forward lookup led back to the address. An
  // expression the matcher gives up on allows nothing; log says which.
  const TEntry* Find(const std::string& address, const std::string& hostName, bool confirmed,
                     LogSink& log) const;

  // Applies the list: the verdict becomes Normal, with the entry and the status without the list
  // in AllowedBy and that written to log, when an entry allows a sender whose status is neither
  // Normal nor Unknown; it stays as it is otherwise.
  void Apply(TVerdict& verdict, LogSink& log) const;

 private:
  // Hashes names and their suffixes alike, so that a level is looked up without a copy.
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };
  using TNameIndex = std::unordered_map<std::string, size_t, TextHash, std::equal_to<>>;
  // A network: its address (IPv4 in the low 32 bits) with the bits past its prefix cleared.
  struct TNetwork {
    uint64_t high = 0, low = 0;
    int length = 0;
    bool operator==(const TNetwork&) const = default;
  };
  struct NetworkHash {
    size_t operator()(const TNetwork& network) const {
      return std::hash<uint64_t>()((network.high * 0x9e3779b97f4a7c15ULL) ^ network.low ^
                                   (static_cast<uint64_t>(network.length) << 57));
    }
  };
  // Says "surely not" for most keys the list lacks, from a bit array small enough to stay in the
  // processor's cache, so that a sender on no list costs few trips into the large tables.
  class TKeyFilter {
   public:
    void Reserve(size_t keys);
    void Add(size_t hash);
    bool MayHold(size_t hash) const;

   private:
    std::vector<uint64_t> bits_;
    size_t mask_ = 0;
  };
  // The networks of one address family.
  struct TNetworks {
    std::vector<int> lengths;  // in use, the longest first
    std::unordered_map<TNetwork, size_t, NetworkHash> index;
  };

  std::optional<std::string> Add(int line, std::string_view text);
  std::optional<std::string> AddExpression(size_t entry, std::string_view text);
  std::optional<std::string> AddNetwork(size_t entry, std::string_view text);
  std::optional<size_t> FindByAddress(const std::string& address) const;
  std::optional<size_t> FindByName(const std::string& hostName, LogSink& log) const;

  std::string name_;
  std::vector<TEntry> entries_;
  std::vector<TProblem> problems_;
  size_t skipped_ = 0;
  TNetworks ipv4_, ipv6_;
  TNameIndex names_, domains_;     // domains without their leading dot
  std::bitset<128> domainLevels_;  // the numbers of labels the domains have
  TKeyFilter keys_;                // every name, domain and network
  TExpressionList expressions_;
};

}  // namespace quillbox

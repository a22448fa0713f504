#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/LogSink.h"
#include "judge/ExpiringCache.h"
#include "judge/Verdict.h"

namespace quillbox {

// What a DNS allow list (a zone that lists good senders' addresses) answered for one address.
struct TZoneAnswer {
  enum class TKind {
    kNoAnswer,   // no answer, or a failure: asked again, it may go otherwise
    kNotListed,  // no such name, or no address
    kListed,     // an address in 127.0.0.0/8 that is no error code
    kError,      // an address outside 127.0.0.0/8, or a code for a refused or failed query
  };
  std::string Zone;
  TKind Kind = TKind::kNoAnswer;
  std::string Address;          // kListed, kError: the address answered that decided it
  std::optional<uint32_t> TTL;  // kListed, kError: the smallest TTL of the addresses answered

  bool operator==(const TZoneAnswer&) const = default;
};

// The name asked under zone for a sender's address: its octets (IPv4, also IPv4-mapped) or
// nibbles (IPv6) in reverse order, "7.100.51.198.zone". Empty for a text that is no address.
std::string ZoneQueryName(const std::string& address, const std::string& zone);

// Where the zones are asked: the user's DNS server, as the forward lookup asks it.
struct TZoneServer {
  std::string Host;  // empty: the first nameserver of /etc/resolv.conf
  int Port = 53;
  int WaitingTime = 5000;  // milliseconds
  const std::atomic<bool>* Cancel = nullptr;
};

// Asks zone for the A record of address. 127.255.255.0/24 and 127.0.0.255 are the codes such
// lists answer for a refused query and for a query error; they, and any address outside
// 127.0.0.0/8, are an error, which wins over a listing in the same answer. Thread-safe.
TZoneAnswer AskZone(const TZoneServer& server, const std::string& zone, const std::string& address);

// Asks every zone at once, each on a thread of its own from construction on, so that the zones
// are asked while the sender's names are looked up and add nothing to that wait. A zone whose
// thread cannot be started is asked by Answers(). Used by one thread; destruction waits for the
// threads, which end within the server's waiting time (sooner when Cancel is set).
class TZoneLookups {
 public:
  TZoneLookups(TZoneServer server, std::vector<std::string> zones, std::string address);
  ~TZoneLookups();
  TZoneLookups(const TZoneLookups&) = delete;
  TZoneLookups& operator=(const TZoneLookups&) = delete;

  // The answers in the zones' order, once each zone answered or its wait ended.
  std::vector<TZoneAnswer> Answers();

 private:
  void Join();

  const TZoneServer server_;
  const std::vector<std::string> zones_;
  const std::string address_;
  std::vector<TZoneAnswer> answers_;  // element i written by thread i only, read after the join
  std::vector<std::thread> threads_;
};

// Applies the zones' answers: the first zone that lists the sender makes the verdict Normal,
// AllowedBy that zone and the address it answered, which is written to log.
void ApplyZoneAnswers(TVerdict& verdict, const std::vector<TZoneAnswer>& answers, LogSink& log);

// The log line of a zone that answered with an error.
std::string ZoneErrorLine(const TZoneAnswer& answer);

// Zone answers kept across sessions, by DNS server ("server port"), zone and address: a listing
// or an error as long as its records may be kept (at most an hour), "not listed" five minutes as
// a settled lookup failure is, no answer not at all. At most `capacity`, the least recently used
// going first. Thread-safe (TExpiringCache).
class TZoneAnswerCache {
 public:
  static constexpr size_t kCapacity = 10000;
  static constexpr std::chrono::seconds kMaxLifetime{3600};
  static constexpr std::chrono::seconds kNotListedLifetime{300};

  explicit TZoneAnswerCache(size_t capacity = kCapacity, TExpiringCache<TZoneAnswer>::Clock clock =
                                                             std::chrono::steady_clock::now)
      : entries_(capacity, std::move(clock)) {}

  std::optional<TZoneAnswer> Find(const std::string& dnsServer, const std::string& zone,
                                  const std::string& address);
  void Store(const std::string& dnsServer, const std::string& address, const TZoneAnswer& answer);

  static std::optional<std::chrono::seconds> Lifetime(const TZoneAnswer& answer);

 private:
  TExpiringCache<TZoneAnswer> entries_;
};

}  // namespace quillbox

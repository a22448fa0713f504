#include "judge/AllowZones.h"

#include <algorithm>
#include <system_error>

#include "judge/AllowList.h"
#include "judge/IdDNSResolver.h"

namespace quillbox {
namespace {

using TKind = TZoneAnswer::TKind;

TKind KindOf(const std::string& address) {
  if (!address.starts_with("127.") || address.starts_with("127.255.255.") ||
      address == "127.0.0.255")
    return TKind::kError;
  return TKind::kListed;
}

std::string Key(const std::string& dnsServer, const std::string& zone, const std::string& address) {
  // No part holds a line feed (a rule-file value is one line, an address is numeric text).
  return dnsServer + '\n' + zone + '\n' + address;
}

}  // namespace

std::string ZoneQueryName(const std::string& address, const std::string& zone) {
  const auto bytes = SenderAddressBytes(address);
  if (!bytes)
    return "";
  std::string name;
  for (auto byte = bytes->rbegin(); byte != bytes->rend(); ++byte) {
    const auto value = static_cast<uint8_t>(*byte);
    if (bytes->size() == 4) {
      name += std::to_string(value) + '.';
    } else {
      constexpr const char* kHex = "0123456789abcdef";
      name += {kHex[value & 0xf], '.', kHex[value >> 4], '.'};
    }
  }
  return name + zone;
}

TZoneAnswer AskZone(const TZoneServer& server, const std::string& zone,
                    const std::string& address) {
  TZoneAnswer answer;
  answer.Zone = zone;
  const std::string name = ZoneQueryName(address, zone);
  if (name.empty())
    return answer;
  TIdDNSResolver resolver;
  resolver.Host = server.Host;
  resolver.Port = server.Port;
  resolver.WaitingTime = server.WaitingTime;
  resolver.Cancel = server.Cancel;
  resolver.QueryType = {qtA};
  try {
    resolver.QueryDomain(name, 1);
  } catch (const std::exception&) {
    // The name does not exist: the address is not listed. Any other failure settles nothing.
    constexpr int kNameError = 3;
    if (resolver.ReplyCode() == kNameError)
      answer.Kind = TKind::kNotListed;
    return answer;
  }
  if (!resolver.ReplyCode())
    return answer;
  answer.Kind = TKind::kNotListed;
  // Records the server added for other names say nothing about this address.
  const TAnswerRecords records = AnswerRecordsFor(resolver.QueryResult(), name, QueryTypeCode(qtA));
  for (const TResultRecord* record : records.Records) {
    const auto* a = dynamic_cast<const TARecord*>(record);
    if (a == nullptr || a->Address().empty())
      continue;
    answer.TTL = std::min(answer.TTL.value_or(a->TTL), a->TTL);
    const TKind kind = KindOf(a->Address());
    if (answer.Kind != TKind::kError &&
        (kind == TKind::kError || answer.Kind == TKind::kNotListed)) {
      answer.Kind = kind;
      answer.Address = a->Address();
    }
  }
  if (answer.TTL && records.AliasTTL)
    answer.TTL = std::min(*answer.TTL, *records.AliasTTL);
  return answer;
}

TZoneLookups::TZoneLookups(TZoneServer server, std::vector<std::string> zones, std::string address)
    : server_(std::move(server)),
      zones_(std::move(zones)),
      address_(std::move(address)),
      answers_(zones_.size()) {
  try {
    for (size_t i = 0; i < zones_.size(); ++i) {
      threads_.emplace_back([this, i] {
        try {
          answers_[i] = AskZone(server_, zones_[i], address_);
        } catch (const std::exception&) {
          answers_[i].Zone = zones_[i];
        }
      });
    }
  } catch (const std::system_error&) {
    // Out of threads: Answers() asks the rest itself.
  }
}

TZoneLookups::~TZoneLookups() {
  Join();
}

void TZoneLookups::Join() {
  for (std::thread& thread : threads_) {
    if (thread.joinable())
      thread.join();
  }
}

std::vector<TZoneAnswer> TZoneLookups::Answers() {
  Join();
  for (size_t i = threads_.size(); i < zones_.size(); ++i)
    answers_[i] = AskZone(server_, zones_[i], address_);
  return answers_;
}

void ApplyZoneAnswers(TVerdict& verdict, const std::vector<TZoneAnswer>& answers, LogSink& log) {
  if (!Allowable(verdict))
    return;
  for (const TZoneAnswer& answer : answers) {
    if (answer.Kind == TKind::kListed) {
      Allow(verdict, answer.Zone, 0, answer.Address, log);
      return;
    }
  }
}

std::string ZoneErrorLine(const TZoneAnswer& answer) {
  return "   P    AllowZones " + answer.Zone + " answered " + answer.Address +
         ", which lists nobody (an address outside 127.0.0.0/8, or the code of a refused or "
         "failed query): it allows nothing";
}

std::optional<TZoneAnswer> TZoneAnswerCache::Find(const std::string& dnsServer,
                                                  const std::string& zone,
                                                  const std::string& address) {
  return entries_.Find(Key(dnsServer, zone, address));
}

void TZoneAnswerCache::Store(const std::string& dnsServer, const std::string& address,
                             const TZoneAnswer& answer) {
  if (const auto lifetime = Lifetime(answer))
    entries_.Store(Key(dnsServer, answer.Zone, address), answer, *lifetime);
}

std::optional<std::chrono::seconds> TZoneAnswerCache::Lifetime(const TZoneAnswer& answer) {
  switch (answer.Kind) {
    case TKind::kNoAnswer:
      return std::nullopt;
    case TKind::kNotListed:
      return kNotListedLifetime;
    case TKind::kListed:
    case TKind::kError:
      break;
  }
  if (!answer.TTL || *answer.TTL == 0)
    return std::nullopt;
  return std::min(std::chrono::seconds(*answer.TTL), kMaxLifetime);
}

}  // namespace quillbox

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "net/IdException.h"
#include "net/IdStack.h"

namespace quillbox {

// A DNS exchange that failed: a refused query, a server error code, a malformed reply.
class EIdDnsResolverError : public EIdException {
 public:
  using EIdException::EIdException;
};

// The query types, in the order in which a query lists its questions.
enum TQueryRecordTypes {
  qtA,
  qtNS,
  qtMD,
  qtMF,
  qtName,
  qtSOA,
  qtMB,
  qtMG,
  qtMR,
  qtNull,
  qtWKS,
  qtPTR,
  qtHINFO,
  qtMINFO,
  qtMX,
  qtTXT,
  qtRT,
  qtNSAP,
  qtNSAP_PTR,
  qtSIG,
  qtAAAA,
  qtService,
  qtNAPTR,
  qtCERT,
  qtV6Addr,
  qtDName,
  qtR40,
  qtOptional,
  qtIXFR,
  qtAXFR,
  qtSTAR,
};

// A set of query types; iterating it gives the order above.
using TQueryType = std::set<TQueryRecordTypes>;

// The type code a query type puts on the wire, and the query type of a code (none for codes
// outside the list).
uint16_t QueryTypeCode(TQueryRecordTypes type);
std::optional<TQueryRecordTypes> QueryRecordTypeOf(uint16_t code);

enum class TResultSection { Answer, Authority, Additional };

// Bounds-checked reading of one reply. Every read past the end, and every malformed name,
// raises EIdDnsResolverError, so that a hostile reply can only fail its own query.
class TDnsReader {
 public:
  explicit TDnsReader(std::string_view reply) : reply_(reply) {}

  size_t Size() const { return reply_.size(); }
  std::string_view Bytes(size_t pos, size_t count) const;
  uint8_t U8(size_t pos) const;
  uint16_t U16(size_t pos) const;
  uint32_t U32(size_t pos) const;

  // Decodes the domain name at pos, following compression pointers anywhere in the reply (at
  // most kMaxPointers, and never round a loop); pos moves past the name as it stands at pos.
  // The root name is "".
  std::string Name(size_t& pos) const;

  static constexpr int kMaxPointers = 64;

 private:
  std::string_view reply_;
};

// One resource record of a reply. Records of types without a class of their own are of this
// class. Immutable once decoded.
class TResultRecord {
 public:
  virtual ~TResultRecord() = default;

  uint16_t TypeCode = 0;
  std::optional<TQueryRecordTypes> RecType;  // none for a code outside TQueryRecordTypes
  uint16_t RecClass = 0;
  std::string Name;
  uint32_t TTL = 0;
  uint16_t RDataLength = 0;
  std::string RData;  // as far as the reply holds it
  TResultSection Section = TResultSection::Answer;

  // Decodes the type's own fields from the record data at dataPos (RData already copied).
  virtual void Parse(const TDnsReader& reply, size_t dataPos);
};

class TRDATARecord : public TResultRecord {};

class TARecord : public TRDATARecord {
 public:
  // Empty data keeps an empty address; 1 to 3 bytes fail the query; more than 4 use the first 4.
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  const std::string& Address() const { return IPAddress; }
  std::string IPAddress;
};

// The record types below are of no use to the judgment; their fields are decoded where they
// fit, and a record whose fields do not fit keeps only the common fields.
class TNAMERecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  std::string HostName;
};
class TNSRecord : public TNAMERecord {};
class TPTRRecord : public TNAMERecord {};

class TSOARecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  std::string Primary, ResponsiblePerson;
  uint32_t Serial = 0, Refresh = 0, Retry = 0, Expire = 0, MinimumTTL = 0;
};

class TWKSRecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  std::string Address;
  uint8_t Protocol = 0;
  std::string BitMap;
};

class THINFORecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  std::string CPU, OS;
};

class TMINFORecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  std::string ResponsiblePersonMailbox, ErrorMailbox;
};

class TMXRecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  uint16_t Preference = 0;
  std::string ExchangeServer;
};

class TTextRecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  std::vector<std::string> Text;
};

class TAAAARecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  std::string Address;  // canonical text (IPv6Text); empty when the data holds no 16 bytes
};

class TSRVRecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  uint16_t Priority = 0, Weight = 0, Port = 0;
  std::string Target;
};

class TNAPTRRecord : public TResultRecord {
 public:
  void Parse(const TDnsReader& reply, size_t dataPos) override;
  uint16_t Order = 0, Preference = 0;
  std::string Flags, Service, RegExp, Replacement;
};

// The records of one reply: answer, then authority, then additional. Not thread-safe.
class TQueryResult {
 public:
  size_t Count() const { return items_.size(); }
  const TResultRecord& operator[](size_t i) const { return *items_.at(i); }
  void Clear() { items_.clear(); }
  void Add(std::unique_ptr<TResultRecord> record) { items_.push_back(std::move(record)); }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<std::unique_ptr<TResultRecord>> items_;
};

// The records that answer a question about a name: those of the answer section of the given type
// whose owner is the name, or a name that a chain of CNAME records in the answer section leads to
// from it. Owners compare without letter case and with or without a trailing dot. A chain that
// runs in a loop, or through more than kMaxAliases aliases, answers nothing. The pointers are into
// the result they were taken from, valid while it stays unchanged.
struct TAnswerRecords {
  std::vector<const TResultRecord*> Records;  // in the order of the reply
  // The smallest TTL of the aliases followed: the answer may not be kept longer than they may.
  std::optional<uint32_t> AliasTTL;

  static constexpr size_t kMaxAliases = 16;
};
TAnswerRecords AnswerRecordsFor(const TQueryResult& result, std::string_view name,
                                uint16_t typeCode);

// Checks a reply against the identifier of its query and decodes all its records into result
// (cleared first). Raises EIdDnsResolverError for a short reply, a wrong identifier, a server
// error code or a malformed record; result is then incomplete and must not be used.
void DecodeDnsReply(std::string_view reply, uint16_t queryId, TQueryResult& result);

}  // namespace quillbox

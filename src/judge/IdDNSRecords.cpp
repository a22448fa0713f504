#include "judge/IdDNSRecords.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <span>

#include "base/SysUtils.h"

namespace quillbox {

namespace {

struct TypeCodeEntry {
  TQueryRecordTypes type;
  uint16_t code;
};

constexpr TypeCodeEntry kTypeCodes[] = {
    {qtA, 1},         {qtNS, 2},     {qtMD, 3},    {qtMF, 4},        {qtName, 5},   {qtSOA, 6},
    {qtMB, 7},        {qtMG, 8},     {qtMR, 9},    {qtNull, 10},     {qtWKS, 11},   {qtPTR, 12},
    {qtHINFO, 13},    {qtMINFO, 14}, {qtMX, 15},   {qtTXT, 16},      {qtRT, 21},    {qtNSAP, 22},
    {qtNSAP_PTR, 23}, {qtSIG, 24},   {qtAAAA, 28}, {qtService, 33},  {qtNAPTR, 35}, {qtCERT, 37},
    {qtV6Addr, 38},   {qtDName, 39}, {qtR40, 40},  {qtOptional, 41}, {qtIXFR, 251}, {qtAXFR, 252},
    {qtSTAR, 255},
};

// A name is at most 255 bytes on the wire (RFC 1035 2.3.4); a longer one is malformed, and the
// bound keeps a reply full of pointers from building megabytes of name.
constexpr size_t kMaxNameLength = 255;

[[noreturn]] void Malformed(const char* what) {
  throw EIdDnsResolverError(std::string("Malformed DNS reply: ") + what);
}

const char* const kRcodeTexts[] = {
    "",
    "DNS Server Reports Query Format Error",
    "DNS Server Reports Query Server Error",
    "DNS Server Reports Query Name Error",
    "DNS Server Reports Query Not Implemented Error",
    "DNS Server Reports Query Refused Error",
};

std::unique_ptr<TResultRecord> NewRecord(uint16_t typeCode) {
  switch (typeCode) {
    case 1:
      return std::make_unique<TARecord>();
    case 2:
      return std::make_unique<TNSRecord>();
    case 5:
      return std::make_unique<TNAMERecord>();
    case 6:
      return std::make_unique<TSOARecord>();
    case 11:
      return std::make_unique<TWKSRecord>();
    case 12:
      return std::make_unique<TPTRRecord>();
    case 13:
      return std::make_unique<THINFORecord>();
    case 14:
      return std::make_unique<TMINFORecord>();
    case 15:
      return std::make_unique<TMXRecord>();
    case 16:
      return std::make_unique<TTextRecord>();
    case 28:
      return std::make_unique<TAAAARecord>();
    case 33:
      return std::make_unique<TSRVRecord>();
    case 35:
      return std::make_unique<TNAPTRRecord>();
    default:
      return std::make_unique<TResultRecord>();
  }
}

// Reads the fields of a record type that the judgment never uses. The record data must hold
// them: a field that runs past the data (or the reply) leaves the record with its common fields
// only, because a peculiar record of a type we ignore must not cost the user the addresses.
template <class Fn>
void ParseOptional(Fn&& parse) {
  try {
    parse();
  } catch (const EIdDnsResolverError&) {
  }
}

// A <character-string>: a length byte and that many bytes.
std::string CharacterString(const TDnsReader& r, size_t& pos) {
  const uint8_t n = r.U8(pos);
  std::string text(r.Bytes(pos + 1, n));
  pos += 1 + n;
  return text;
}

// The address text of the first 4 bytes of data.
std::string IPv4Text(const std::string& data) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, data.data(), text, sizeof text);
  return text;
}

// Decodes from the record data only: RData holds what the reply had of it.
TDnsReader DataReader(const TResultRecord& record) {
  return TDnsReader(record.RData);
}

}  // namespace

uint16_t QueryTypeCode(TQueryRecordTypes type) {
  for (const auto& e : kTypeCodes) {
    if (e.type == type)
      return e.code;
  }
  return 0;
}

std::optional<TQueryRecordTypes> QueryRecordTypeOf(uint16_t code) {
  for (const auto& e : kTypeCodes) {
    if (e.code == code)
      return e.type;
  }
  return std::nullopt;
}

std::string_view TDnsReader::Bytes(size_t pos, size_t count) const {
  if (pos > reply_.size() || count > reply_.size() - pos)
    Malformed("data runs past the end");
  return reply_.substr(pos, count);
}

uint8_t TDnsReader::U8(size_t pos) const {
  return static_cast<uint8_t>(Bytes(pos, 1)[0]);
}

uint16_t TDnsReader::U16(size_t pos) const {
  const std::string_view b = Bytes(pos, 2);
  return static_cast<uint16_t>(static_cast<uint8_t>(b[0]) << 8 | static_cast<uint8_t>(b[1]));
}

uint32_t TDnsReader::U32(size_t pos) const {
  return static_cast<uint32_t>(U16(pos)) << 16 | U16(pos + 2);
}

std::string TDnsReader::Name(size_t& pos) const {
  std::string name;
  size_t p = pos;
  size_t afterFirstPointer = 0;
  int pointers = 0;
  std::array<uint16_t, kMaxPointers> seen;  // only the first `pointers` are read
  size_t wireLength = 0;
  while (true) {
    uint8_t length = U8(p);
    while (length >= 192) {
      const uint16_t target = static_cast<uint16_t>((length & 0x3f) << 8 | U8(p + 1));
      for (int i = 0; i < pointers; ++i) {
        if (seen[i] == target)
          Malformed("compression pointer loop");
      }
      if (pointers == kMaxPointers)
        Malformed("too many compression pointers");
      if (pointers == 0)
        afterFirstPointer = p + 2;
      seen[pointers++] = target;
      p = target;
      length = U8(p);
    }
    if (length == 0)
      break;
    wireLength += 1 + length;
    if (wireLength + 1 > kMaxNameLength)
      Malformed("name too long");
    name.append(Bytes(p + 1, length));
    name.push_back('.');
    p += 1 + length;
  }
  if (!name.empty())
    name.pop_back();
  pos = pointers > 0 ? afterFirstPointer : p + 1;
  return name;
}

void TResultRecord::Parse(const TDnsReader&, size_t) {}

void TARecord::Parse(const TDnsReader&, size_t) {
  if (RData.empty())
    return;
  if (RData.size() < 4)
    Malformed("address record shorter than 4 bytes");
  // By hand: inet_ntop would take half the time of decoding a whole reply.
  char text[16];
  char* out = text;
  for (int i = 0; i < 4; ++i) {
    const unsigned byte = static_cast<uint8_t>(RData[i]);
    if (byte >= 100)
      *out++ = static_cast<char>('0' + byte / 100);
    if (byte >= 10)
      *out++ = static_cast<char>('0' + byte / 10 % 10);
    *out++ = static_cast<char>('0' + byte % 10);
    *out++ = '.';
  }
  IPAddress.assign(text, out - 1);
}

void TNAMERecord::Parse(const TDnsReader& reply, size_t dataPos) {
  ParseOptional([&] { HostName = reply.Name(dataPos); });
}

void TSOARecord::Parse(const TDnsReader& reply, size_t dataPos) {
  ParseOptional([&] {
    size_t p = dataPos;
    std::string primary = reply.Name(p);
    std::string person = reply.Name(p);
    const TDnsReader data = DataReader(*this);
    const size_t fixed = p - dataPos;
    Serial = data.U32(fixed);
    Refresh = data.U32(fixed + 4);
    Retry = data.U32(fixed + 8);
    Expire = data.U32(fixed + 12);
    MinimumTTL = data.U32(fixed + 16);
    Primary = std::move(primary);
    ResponsiblePerson = std::move(person);
  });
}

void TWKSRecord::Parse(const TDnsReader&, size_t) {
  if (RData.size() < 5)
    return;
  Address = IPv4Text(RData);
  Protocol = static_cast<uint8_t>(RData[4]);
  BitMap = RData.substr(5);
}

void THINFORecord::Parse(const TDnsReader&, size_t) {
  ParseOptional([&] {
    const TDnsReader data = DataReader(*this);
    size_t p = 0;
    std::string cpu = CharacterString(data, p);
    OS = CharacterString(data, p);
    CPU = std::move(cpu);
  });
}

void TMINFORecord::Parse(const TDnsReader& reply, size_t dataPos) {
  ParseOptional([&] {
    std::string person = reply.Name(dataPos);
    ErrorMailbox = reply.Name(dataPos);
    ResponsiblePersonMailbox = std::move(person);
  });
}

void TMXRecord::Parse(const TDnsReader& reply, size_t dataPos) {
  ParseOptional([&] {
    const uint16_t preference = DataReader(*this).U16(0);
    dataPos += 2;
    ExchangeServer = reply.Name(dataPos);
    Preference = preference;
  });
}

void TTextRecord::Parse(const TDnsReader&, size_t) {
  ParseOptional([&] {
    const TDnsReader data = DataReader(*this);
    std::vector<std::string> strings;
    for (size_t p = 0; p < data.Size();)
      strings.push_back(CharacterString(data, p));
    Text = std::move(strings);
  });
}

void TAAAARecord::Parse(const TDnsReader&, size_t) {
  if (RData.size() < 16)
    return;
  TIPv6Bytes bytes;
  std::copy_n(RData.begin(), bytes.size(), bytes.begin());
  Address = IPv6Text(bytes);
}

void TSRVRecord::Parse(const TDnsReader& reply, size_t dataPos) {
  ParseOptional([&] {
    const TDnsReader data = DataReader(*this);
    const uint16_t priority = data.U16(0), weight = data.U16(2), port = data.U16(4);
    dataPos += 6;
    Target = reply.Name(dataPos);
    Priority = priority;
    Weight = weight;
    Port = port;
  });
}

void TNAPTRRecord::Parse(const TDnsReader& reply, size_t dataPos) {
  ParseOptional([&] {
    const TDnsReader data = DataReader(*this);
    size_t p = 4;
    std::string flags = CharacterString(data, p);
    std::string service = CharacterString(data, p);
    std::string regExp = CharacterString(data, p);
    dataPos += p;
    Replacement = reply.Name(dataPos);
    Order = data.U16(0);
    Preference = data.U16(2);
    Flags = std::move(flags);
    Service = std::move(service);
    RegExp = std::move(regExp);
  });
}

namespace {

constexpr uint16_t kAlias = 5;  // CNAME

std::string_view WithoutRootDot(std::string_view name) {
  if (!name.empty() && name.back() == '.')
    name.remove_suffix(1);
  return name;
}

bool AnswerOwnedBy(const TResultRecord& record, uint16_t typeCode,
                   std::span<const std::string_view> names) {
  return record.Section == TResultSection::Answer && record.TypeCode == typeCode &&
         std::any_of(names.begin(), names.end(), [&record](std::string_view name) {
           return SameText(WithoutRootDot(record.Name), name);
         });
}

}  // namespace

TAnswerRecords AnswerRecordsFor(const TQueryResult& result, std::string_view name,
                                uint16_t typeCode) {
  std::vector<std::string_view> names{WithoutRootDot(name)};
  TAnswerRecords answer;
  for (;;) {
    const auto alias = std::find_if(result.begin(), result.end(), [&names](const auto& record) {
      return AnswerOwnedBy(*record, kAlias, std::span(&names.back(), 1));
    });
    if (alias == result.end())
      break;
    const std::string_view target =
        WithoutRootDot(static_cast<const TNAMERecord&>(**alias).HostName);
    const bool loop = std::any_of(names.begin(), names.end(), [target](std::string_view seen) {
      return SameText(seen, target);
    });
    if (loop || names.size() > TAnswerRecords::kMaxAliases)
      return {};
    names.push_back(target);
    answer.AliasTTL = std::min(answer.AliasTTL.value_or((*alias)->TTL), (*alias)->TTL);
  }
  for (const auto& record : result) {
    if (AnswerOwnedBy(*record, typeCode, names))
      answer.Records.push_back(record.get());
  }
  return answer;
}

void DecodeDnsReply(std::string_view reply, uint16_t queryId, TQueryResult& result) {
  result.Clear();
  if (reply.size() < 12)
    throw EIdDnsResolverError("Received Packet is too small. Less than 12 bytes. " +
                              std::to_string(reply.size()));
  const TDnsReader r(reply);
  if (r.U16(0) != queryId)
    throw EIdDnsResolverError("Invalid Header Id " + std::to_string(queryId));
  const uint16_t flags = r.U16(2);
  const uint16_t qdCount = r.U16(4);
  const uint16_t counts[] = {r.U16(6), r.U16(8), r.U16(10)};
  const int rcode = flags & 0x0f;
  if (rcode != 0)
    throw EIdDnsResolverError(rcode <= 5 ? kRcodeTexts[rcode] : "Server Returned Unknown Error");
  if (counts[0] + counts[1] + counts[2] == 0 || reply.size() == 12)
    return;

  size_t p = 12;
  if (qdCount == 1) {
    r.Name(p);
    p += 4;
  }
  const TResultSection sections[] = {TResultSection::Answer, TResultSection::Authority,
                                     TResultSection::Additional};
  for (int s = 0; s < 3; ++s) {
    for (uint16_t n = 0; n < counts[s]; ++n) {
      std::string owner = r.Name(p);
      const uint16_t type = r.U16(p);
      auto record = NewRecord(type);
      record->TypeCode = type;
      record->RecType = QueryRecordTypeOf(type);
      record->Name = std::move(owner);
      record->RecClass = r.U16(p + 2);
      record->TTL = r.U32(p + 4);
      record->RDataLength = r.U16(p + 8);
      record->Section = sections[s];
      const size_t dataPos = p + 10;
      const size_t available = std::min<size_t>(record->RDataLength, reply.size() - dataPos);
      record->RData.assign(reply.substr(dataPos, available));
      record->Parse(r, dataPos);
      p = dataPos + record->RDataLength;
      result.Add(std::move(record));
    }
  }
}

}  // namespace quillbox

// Arbitrary bytes as a DNS reply: decoding must fail cleanly or succeed, never crash, leak or
// loop. The identifier is taken from the reply itself half of the time, so that most inputs
// get past the identifier check into the record decoding.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "judge/IdDNSRecords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  uint16_t queryId = 0x1234;
  if (size >= 2 && (data[size - 1] & 1) == 0)
    queryId = static_cast<uint16_t>(data[0] << 8 | data[1]);
  quillbox::TQueryResult result;
  try {
    quillbox::DecodeDnsReply(reply, queryId, result);
  } catch (const quillbox::EIdDnsResolverError&) {
  }
  for (const auto& record : result) {
    if (const auto* a = dynamic_cast<const quillbox::TARecord*>(record.get()))
      if (a->Address().size() > 15)
        __builtin_trap();
  }
  return 0;
}

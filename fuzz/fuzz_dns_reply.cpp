// Arbitrary bytes as a DNS reply: decoding must fail cleanly or succeed, never crash, leak or
// loop. The identifier is taken from the reply itself half of the time, so that most inputs
// get past the identifier check into the record decoding. Half of the inputs come as a TCP
// stream instead, in pieces whose size the first byte sets: the framing must take exactly the
// length it declares, whatever the pieces, and never more than 65535 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "judge/IdDNSRecords.h"
#include "judge/IdDNSResolverTcp.h"

namespace {

// The message that the framing takes from the stream, or "" when the stream ends before it.
std::string_view FromStream(std::string_view stream, std::string& message) {
  const size_t piece = stream.empty() ? 1 : static_cast<uint8_t>(stream[0]) % 16 + 1;
  quillbox::TDnsTcpReply reply;
  for (size_t at = 0; at < stream.size() && !reply.Whole(); at += piece)
    reply.Add(stream.substr(at, piece));
  const size_t declared = stream.size() < 2
                              ? 0
                              : static_cast<size_t>(static_cast<uint8_t>(stream[0]) << 8 |
                                                    static_cast<uint8_t>(stream[1]));
  const bool complete = stream.size() >= 2 && stream.size() - 2 >= declared;
  if (reply.Whole() != complete ||
      reply.Message() != stream.substr(std::min<size_t>(2, stream.size()), declared))
    __builtin_trap();
  if (!complete)
    return {};
  reply.Add(stream);  // nothing more is taken once it is whole
  if (reply.Message().size() != declared)
    __builtin_trap();
  message.assign(reply.Message());
  return message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view reply(reinterpret_cast<const char*>(data), size);
  std::string message;
  if (size >= 1 && (data[size - 1] & 2) != 0)
    reply = FromStream(reply, message);
  uint16_t queryId = 0x1234;
  if (reply.size() >= 2 && (data[size - 1] & 1) == 0)
    queryId =
        static_cast<uint16_t>(static_cast<uint8_t>(reply[0]) << 8 | static_cast<uint8_t>(reply[1]));
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
  const auto answer =
      quillbox::AnswerRecordsFor(result, result.Count() > 0 ? result[0].Name : "", 1);
  if (answer.Records.size() > result.Count())
    __builtin_trap();
  return 0;
}

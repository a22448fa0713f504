// Arbitrary messages through the header path of a retrieval: header end, renaming, insertion,
// unfolding, Received: selection and address extraction. What is delivered must be the message
// plus exactly the four lines, and with "Forged-" put into names that began with X-Quillbox-;
// nothing else may change, and no field of Quillbox's names but its own may stand where a reader
// takes lines for the header. The input is the message, one line per LF.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/SysUtils.h"
#include "judge/BRegExp.h"
#include "judge/ReceivedLine.h"
#include "judge/SenderAddress.h"
#include "net/IdStack.h"
#include "proxy/HeaderSyntax.h"
#include "proxy/MessageAnnotation.h"

namespace {

using namespace quillbox;
using Lines = std::vector<std::string>;

class NoLog : public LogSink {
 public:
  void AddToMemo(const std::string&) override {}
};

bool PieceStart(std::string_view s, size_t at) {
  return at == 0 || s[at - 1] == '\r';
}

// Whether delivered is original with "Forged-" inserted after the "X-" of every piece that begins
// with X-Quillbox- (any case), and nowhere else.
bool IsRenamed(std::string_view original, std::string_view delivered) {
  size_t j = 0;
  for (size_t i = 0; i < original.size(); ++i) {
    if (PieceStart(original, i) && StartsText("X-Quillbox-", original.substr(i))) {
      if (delivered.substr(j, 9) != std::string(original.substr(i, 2)) + "Forged-")
        return false;
      j += 9;
      ++i;
      continue;
    }
    if (j >= delivered.size() || original[i] != delivered[j])
      return false;
    ++j;
  }
  return j == delivered.size();
}

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

void CheckDelivery(const Lines& message, const Lines& four, const Lines& delivered) {
  Check(delivered.size() == message.size() + four.size());
  size_t at = 0;
  while (at + four.size() <= delivered.size() &&
         !std::equal(four.begin(), four.end(), delivered.begin() + static_cast<ptrdiff_t>(at)))
    ++at;
  Check(at + four.size() <= delivered.size());
  bool beforeEmptyLine = true;
  for (size_t i = 0; i < message.size(); ++i) {
    const std::string& out = delivered[i < at ? i : i + four.size()];
    Check(beforeEmptyLine ? IsRenamed(message[i], out) : out == message[i]);
    beforeEmptyLine = beforeEmptyLine && !message[i].empty();
  }
}

void CheckAddress(const Lines& header, TSelectFrom from) {
  Lines unfolded = header;
  UnfoldHeader(unfolded);
  NoLog log;
  TBRegExp matcher;
  const auto selected =
      SelectReceived(unfolded, "/\\(\\S* ?\\[(IPv6:)?[0-9a-f:.]+\\]\\)/i", from, matcher, log);
  if (!selected)
    return;
  const auto address = SenderAddress(*selected);
  if (!address)
    return;
  // An IPv6 address is in its canonical text; anything else is a dotted quad.
  if (const auto bytes = ParseIPv6(*address))
    Check(IPv6Text(*bytes) == *address);
  else
    Check(IsDottedIPv4(*address));
  Check(SenderAddress(*address) == address);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  Lines message;
  for (size_t at = 0; at < input.size();) {
    const size_t end = std::min(input.find('\n', at), input.size());
    message.emplace_back(input.substr(at, end - at));
    at = end + 1;
  }
  TVerdict verdict;
  verdict.Status = TSenderStatus::kNormal;
  verdict.Address = verdict.LookupedAddress = "203.0.113.7";
  verdict.HostName = "mail.example.org";
  const Lines four = AnnotationLines(verdict);
  CheckDelivery(message, four, AnnotateMessage(message, four));

  TMessageAnnotation annotation;
  for (size_t i = 0; i < message.size() && annotation.CollectHeader(message[i]); ++i) {
  }
  CheckAddress(annotation.Header(), TSelectFrom::kTop);
  CheckAddress(annotation.Header(), TSelectFrom::kBottom);
  return 0;
}

// Arbitrary allow lists and senders, as a user's list and a stranger's PTR record could give
// them. The input is split at its first NUL byte: the list before, then the sender's address and
// host name on two lines. A list never keeps more problems than it may log; every entry it keeps
// is an entry on its own as well; a name that the forward lookup did not confirm never allows a
// sender that its address does not; a name the whole list allows is one that an entry allows
// alone, and one that no entry allows alone the list does not (expressions tried together must
// find what they find one by one); and an allowed verdict is Normal and says what it would be.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/LogSink.h"
#include "judge/AllowList.h"

namespace {

using namespace quillbox;

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

class NoLog : public LogSink {
 public:
  void AddToMemo(const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = std::min(input.find('\0'), input.size());
  const std::string sender = split < input.size() ? input.substr(split + 1) : "";
  const size_t newline = std::min(sender.find('\n'), sender.size());
  const std::string address = sender.substr(0, newline);
  const std::string host = newline < sender.size() ? sender.substr(newline + 1) : "";

  const TAllowList list("fuzz", std::string_view(input).substr(0, split));
  Check(list.Problems().size() <= TAllowList::kMaxProblems);
  Check(list.Skipped() >= list.Problems().size());
  NoLog log;
  const TAllowList::TEntry* byAddress = list.Find(address, host, false, log);
  Check(byAddress == list.Find(address, "", true, log));
  const TAllowList::TEntry* found = list.Find(address, host, true, log);
  Check(byAddress == nullptr || found == byAddress);
  if (found != nullptr) {
    Check(found->Line >= 1 && !found->Text.empty() &&
          found->Text.size() <= TAllowList::kMaxEntryLength);
    const TAllowList alone("alone", found->Text);
    Check(alone.Size() == 1 && alone.Problems().empty());
  }
  // By name alone, against each of the first lines on its own.
  const std::string_view text = std::string_view(input).substr(0, split);
  const TAllowList::TEntry* byName = list.Find("", host, true, log);
  bool alone = false;
  size_t start = 0;
  for (int lines = 0; lines < 64 && start < text.size(); ++lines) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const TAllowList line("line", text.substr(start, end - start));
    alone = alone || line.Find("", host, true, log) != nullptr;
    start = end + 1;
  }
  Check(byName != nullptr || !alone || start < text.size());
  if (byName != nullptr)
    Check(TAllowList("entry", byName->Text).Find("", host, true, log) != nullptr);
  TVerdict verdict;
  verdict.Status = TSenderStatus::kRuleMatched;
  verdict.Rule = 1;
  verdict.Address = address;
  verdict.HostName = host;
  verdict.ForwardConfirmed = !host.empty();
  TVerdict applied = verdict;
  list.Apply(applied, log);
  Check((found != nullptr) == applied.AllowedBy.has_value());
  Check(!applied.AllowedBy ||
        (applied.Status == TSenderStatus::kNormal &&
         applied.AllowedBy->Status == TSenderStatus::kRuleMatched && applied.AllowedBy->Rule == 1));
  return 0;
}

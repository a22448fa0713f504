#include "judge/ReceivedLine.h"

#include "base/SysUtils.h"

namespace quillbox {

std::optional<TSelectFrom> ParseSelectFrom(std::string_view text) {
  if (SameText(text, "Bottom"))
    return TSelectFrom::kBottom;
  if (SameText(text, "Top"))
    return TSelectFrom::kTop;
  return std::nullopt;
}

std::optional<std::string> SelectReceived(const std::vector<std::string>& unfoldedHeader,
                                          const std::string& matchString, TSelectFrom from,
                                          TBRegExp& matcher, LogSink& log) {
  const std::string expression = "m" + matchString;
  const auto what = [&matchString] { return "Match string " + matchString; };
  const size_t count = unfoldedHeader.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& line = unfoldedHeader[from == TSelectFrom::kTop ? i : count - 1 - i];
    if (StartsText("Received:", line) &&
        MatchWithinLimits(matcher, expression, line, log, what) == 1) {
      return matcher.Strings(0);
    }
  }
  return std::nullopt;
}

}  // namespace quillbox

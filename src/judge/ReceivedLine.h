#pragma once

// Which Received: line of a header names the sender: the rule file's match string applied from
// the end of the header that the rule file's SelectFrom names.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/LogSink.h"
#include "judge/BRegExp.h"

namespace quillbox {

// Which end of the header the walk for the Received: line starts from (rule file key
// [S25R] SelectFrom). Top finds the newest line first: one that the provider's own servers wrote.
enum class TSelectFrom { kBottom, kTop };

// "Bottom" or "Top" in any letter case; nothing for any other text.
std::optional<TSelectFrom> ParseSelectFrom(std::string_view text);

// The part of the unfolded header's Received: line that "m" + matchString selects on matcher:
// the first line, walking from the given end, that begins with "Received:" (any letter case) and
// matches. A line the matcher gives up on does not match (log says so). Raises EBRegExpError for
// a match string that cannot be used.
std::optional<std::string> SelectReceived(const std::vector<std::string>& unfoldedHeader,
                                          const std::string& matchString, TSelectFrom from,
                                          TBRegExp& matcher, LogSink& log);

}  // namespace quillbox
